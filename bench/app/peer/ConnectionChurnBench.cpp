// 1,000 consecutive connections to each peer server over loopback, counting
// this process's open descriptors before and after: a server that leaks one
// descriptor per connection shows a count that grows by a thousand.
//
// Each run also shows the slowest connection and how many took longer than
// 100 ms. A client that only connects and closes ("touch") never waits for the
// server, so it can run ahead of it; once the listen queue is full the kernel
// drops the next handshake and the client's connect waits a whole second for
// its retransmission. The request/reply runs wait for the answer, as real
// clients do.
//
// Usage: bench_peer_ConnectionChurnBench [connections]

#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/peer/wire/PeerWire.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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

// A new remote file system session and its release: two connections, each a
// request and its reply, as the client opens and closes a session.
bool NfsSession(int port) {
    auto connection = OpenConnection(kAddress, port);
    std::int32_t id = kNfsNoSession;
    std::int32_t version = 0;
    if (!connection || !connection->SendInt32(kNfsNewClient) ||
        !connection->SendInt32(kNfsVersion) || !connection->ReceiveInt32(id) ||
        !connection->ReceiveInt32(version) || id == kNfsNoSession)
        return false;
    connection = OpenConnection(kAddress, port);
    std::int32_t known = 0;
    std::int32_t released = 0;
    return connection && connection->SendInt32(kNfsOperation) && connection->SendInt32(id) &&
           connection->ReceiveInt32(known) && known == 1 && connection->SendInt32(kNfsRelease) &&
           connection->ReceiveInt32(released) && released == 1;
}

template <typename Work>
void Churn(const char* name, int connections, Work work) {
    using Clock = std::chrono::steady_clock;
    std::size_t before = OpenDescriptors();
    int failures = 0;
    int stalls = 0;
    Clock::duration slowest{};
    auto start = Clock::now();
    for (int i = 0; i < connections; ++i) {
        auto begun = Clock::now();
        failures += work() ? 0 : 1;
        auto took = Clock::now() - begun;
        slowest = std::max(slowest, took);
        stalls += took > 100ms ? 1 : 0;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Let the server finish the last connection before counting.
    std::this_thread::sleep_for(200ms);
    std::size_t after = OpenDescriptors();
    std::printf("%-22s %5d runs  %6.2f s  slowest %6.1f ms  over 100 ms %3d  failures %d  "
                "descriptors %zu -> %zu\n",
                name, connections, seconds,
                std::chrono::duration<double, std::milli>(slowest).count(), stalls, failures,
                before, after);
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

    auto table = std::make_shared<ShareTable>();
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
        Churn("TransferServer get", connections, [&] { return Download(transferPort, path); });
        Churn("TransferServer touch", connections, [&] { return Touch(transferPort); });
        Churn("NFSServer touch", connections, [&] { return Touch(nfsPort); });
        Churn("NFSServer session", connections, [&] { return NfsSession(nfsPort); });
        transfer.Stop(true);
        nfs.Stop(true);
    }
    fs::remove_all(pattern);
    return 0;
}
