#pragma once

// What the drovick-peer tests share: users of the machine, each with a home,
// settings and session folder and a loopback address of its own, and two of
// them serving real files at once.

#include "FakeService.h"
#include "MachineUser.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace drovickpeertest {

using namespace machineuser;

struct Result {
    int code = -1;
    std::string output;
};

// One user of the machine with the ports its servers listen on.
class User : public MachineUser {
public:
    explicit User(std::string address)
        : MachineUser(std::move(address)) {
        // No presence service is started behind these tests' backs.
        SetEnvironment("HALVSERVE_PATH", (Root() / "no-halvserve").string());
        m_nfsPort = testsupport::FreeTcpPort(Address());
        m_transferPort = testsupport::FreeTcpPort(Address());
    }

    fs::path SettingsFile() const { return Home() / ".config" / "drovick" / "Drovick.settings"; }
    int NfsPort() const { return m_nfsPort; }
    int TransferPort() const { return m_transferPort; }

    // drovick-peer with its standard error in the output, as a person sees it.
    Result Run(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& extra = {}) const {
        auto environment = Environment();
        for (const auto& [name, value] : extra)
            environment[name] = value;
        ChildProcess child(testsupport::BuildBin("drovick-peer"), arguments, environment);
        Result result;
        result.code = child.Wait(30s);
        result.output = child.Output();
        return result;
    }

    std::unique_ptr<ChildProcess> Serve() const {
        return std::make_unique<ChildProcess>(
            testsupport::BuildBin("drovick-peer"),
            std::vector<std::string>{"serve", "--nfs-port", std::to_string(m_nfsPort),
                                     "--transfer-port", std::to_string(m_transferPort)},
            Environment());
    }

private:
    int m_nfsPort = 0;
    int m_transferPort = 0;
};

inline bool Listening(ChildProcess& serve) {
    return testsupport::WaitFor(
        [&] {
            std::string output = serve.Output();
            return Contains(output, "NFSServer listening on") &&
                   Contains(output, "TransferServer listening on");
        },
        15s);
}

// Replies of the scripted presence services the tests put behind the
// program: the friend at an index of the list (-1 past its end), an address,
// and a profile with a name and e-mail address (an empty one is left out).
inline BridgeRecord FriendReply(const BridgeRecord& request, const std::vector<int>& ids) {
    const int index = request.I32At(4);
    return FakeService::Reply(request, index >= 0 && index < static_cast<int>(ids.size())
                                           ? ids[static_cast<std::size_t>(index)]
                                           : -1);
}

inline BridgeRecord AddressReply(const BridgeRecord& request, const std::string& address) {
    BridgeRecord reply = FakeService::Reply(request, 1);
    reply.SetTextAt(BridgeRecord::kAddressOffset, address, BridgeRecord::kAddressWidth);
    return reply;
}

inline BridgeRecord ProfileReply(const BridgeRecord& request, const std::string& name,
                                 const std::string& eMail) {
    BridgeRecord reply = FakeService::Reply(request, 1);
    if (!name.empty())
        reply.SetTextAt(BridgeRecord::kProfileReplyOffset + PersonalInfoLayout::kNameOffset, name,
                        PersonalInfoLayout::kNameWidth);
    if (!eMail.empty())
        reply.SetTextAt(BridgeRecord::kProfileReplyOffset + PersonalInfoLayout::kEMailOffset, eMail,
                        PersonalInfoLayout::kEMailWidth);
    return reply;
}

// Holds a port on an address, as another program would.
class PortTaker {
public:
    PortTaker(const std::string& address, int port)
        : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        m_listening = bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                      listen(m_fd, 1) == 0;
    }
    ~PortTaker() { close(m_fd); }
    bool Listening() const { return m_listening; }

private:
    int m_fd;
    bool m_listening = false;
};

// Runs the program on a pseudo-terminal and returns all it wrote there.
inline std::string RunOnTerminal(const User& user, const std::vector<std::string>& arguments,
                                 int& code) {
    return machineuser::RunOnTerminal(testsupport::BuildBin("drovick-peer"), arguments,
                                      user.Environment(), {}, code);
}

// Two users serving at once; the second one's programs browse and download
// from the first.
class TwoUsers : public ::testing::Test {
protected:
    void SetUp() override {
        m_share = fs::canonical(m_files.Path()) / "share";
        m_outside = fs::canonical(m_files.Path()) / "outside";
        fs::create_directories(m_share / "sub" / "deeper");
        fs::create_directories(m_outside);
        m_small = RandomBytes(1500, 1);
        // Not a whole number of blocks, so the padded tail block is cut off.
        m_large = RandomBytes(3 * 1024 * 1024 + 777, 2);
        WriteFile(m_share / "small.txt", m_small);
        WriteFile(m_share / "sub" / "large.bin", m_large);
        WriteFile(m_share / "sub" / "deeper" / "exact.bin", RandomBytes(10240, 3));
        WriteFile(m_outside / "secret.txt", "secret");
        fs::last_write_time(m_share / "small.txt",
                            fs::file_time_type::clock::now() - std::chrono::hours(24));

        ASSERT_EQ(m_first.Run({"share", m_share.string()}).code, 0);
        ASSERT_EQ(m_second.Run({"share", m_outside.string()}).code, 0);
        m_firstServe = m_first.Serve();
        m_secondServe = m_second.Serve();
        ASSERT_TRUE(Listening(*m_firstServe)) << m_firstServe->Output();
        ASSERT_TRUE(Listening(*m_secondServe)) << m_secondServe->Output();
    }

    Result List(const std::string& path) {
        return m_second.Run(
            {"ls", m_first.Address(), path, "--nfs-port", std::to_string(m_first.NfsPort())});
    }

    Result Get(const std::string& path, const fs::path& destination) {
        return m_second.Run({"get", m_first.Address(), path, destination.string(),
                             "--transfer-port", std::to_string(m_first.TransferPort())});
    }

    testsupport::TempDir m_files;
    testsupport::TempDir m_downloads;
    fs::path m_share;
    fs::path m_outside;
    std::string m_small;
    std::string m_large;
    User m_first{"127.0.0.2"};
    User m_second{"127.0.0.3"};
    std::unique_ptr<ChildProcess> m_firstServe;
    std::unique_ptr<ChildProcess> m_secondServe;
};

} // namespace drovickpeertest
