// 1,000 consecutive connections to each peer server over loopback, counting
// this process's open descriptors before and after: a server that leaks one
// descriptor per connection shows a count that grows by a thousand.
//
// Usage: bench_peer_ConnectionChurnBench [connections]

#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/NFSServer.h"
#include "app/peer/PeerConnection.h"
#include "app/peer/PeerWire.h"
#include "app/peer/TransferServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kAddress = "127.0.0.1";

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, kAddress, &address.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

template <typename Server>
bool WaitListening(Server& server) {
    for (int i = 0; i < 500 && !server.IsListening(); ++i)
        std::this_thread::sleep_for(10ms);
    return server.IsListening();
}

// One download of a small shared file, read to the end.
bool Download(int port, const std::string& path) {
    auto connection = OpenConnection(kAddress, port);
    if (!connection || !connection->SendText(path, kTransferPathWidth))
        return false;
    std::int32_t size = 0;
    if (!connection->ReceiveInt32(size) || size <= 0)
        return false;
    std::vector<std::uint8_t> buffer(16384);
    while (connection->Receive(buffer.data(), buffer.size()) > 0) {
    }
    return true;
}

// A connection that says nothing and closes: the server must give it up at once.
bool Touch(int port) {
    return OpenConnection(kAddress, port) != nullptr;
}

template <typename Work>
void Churn(const char* name, int connections, Work work) {
    std::size_t before = OpenDescriptors();
    int failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < connections; ++i)
        failures += work() ? 0 : 1;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Let the server finish the last connection before counting.
    std::this_thread::sleep_for(200ms);
    std::size_t after = OpenDescriptors();
    std::printf("%-16s %5d connections  %6.2f s  failures %d  descriptors %zu -> %zu\n", name,
                connections, seconds, failures, before, after);
}

} // namespace

int main(int argc, char** argv) {
    const int connections = argc > 1 ? std::atoi(argv[1]) : 1000;
    char pattern[] = "/tmp/halvara-churn-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const fs::path share = fs::path(pattern) / "share";
    fs::create_directories(share);
    std::ofstream(share / "small.txt") << "a small shared file";
    setenv("HALVARA_ADDRESS", kAddress, 1);

    auto* table = new ShareTable();
    if (!table->Add(share.string()))
        return 1;
    LogEvent log; // no receiver: every line is dropped, as with no monitor open

    const int transferPort = FreePort();
    const int nfsPort = FreePort();
    {
        TransferServer transfer(table, &log, transferPort);
        NFSServer nfs(table, &log, nfsPort);
        if (!transfer.Start() || !nfs.Start() || !WaitListening(transfer) || !WaitListening(nfs)) {
            std::fprintf(stderr, "servers did not start\n");
            return 1;
        }
        const std::string path = (share / "small.txt").string();
        Churn("TransferServer", connections, [&] { return Download(transferPort, path); });
        Churn("NFSServer", connections, [&] { return Touch(nfsPort); });
        transfer.Stop(true);
        nfs.Stop(true);
    }
    table->Release();
    fs::remove_all(pattern);
    return 0;
}
