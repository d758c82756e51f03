// drovick-peer send: one instant message to a friend or an address, the
// user's own name from the presence library, and its echo.

#include "DrovickPeerUsers.h"
#include "FakeService.h"

#include <atomic>
#include <poll.h>
#include <thread>

namespace {

using namespace drovickpeertest;

// The presence service of the sending user: the user is id 7 named
// "Sender Name"; friend@example.com (id 42) is online at the given address.
class SenderPresence {
public:
    SenderPresence(const User& user, std::string friendAddress)
        : m_friendAddress(std::move(friendAddress)) {
        setenv("XDG_RUNTIME_DIR", user.Runtime().c_str(), 1);
        m_service = std::make_unique<FakeService>(
            [this](const BridgeRecord& request) { return Answer(request); });
    }

private:
    std::vector<BridgeRecord> Answer(const BridgeRecord& request) const {
        const int first = request.I32At(4);
        switch (request.Code()) {
        case kCmdGetMyID:
            return {FakeService::Reply(request, 7)};
        case kCmdGetFriend:
            return {FriendReply(request, {42})};
        case kCmdGetProfile:
            return {ProfileReply(request, first == 7 ? "Sender Name" : "A Friend",
                                 first == 7 ? "me@example.com" : "friend@example.com")};
        case kCmdGetIP:
            return {AddressReply(request, m_friendAddress)};
        default:
            return {FakeService::Reply(request, 1)};
        }
    }

    const std::string m_friendAddress;
    std::unique_ptr<FakeService> m_service;
};

// A message server written from the wire layout alone: takes one connection,
// keeps every byte until the sender closes, and where it came from.
class RawMessageServer {
public:
    explicit RawMessageServer(const std::string& address)
        : m_port(testsupport::FreeTcpPort(address)) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(m_port));
        inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        m_listening = bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                      listen(m_fd, 4) == 0;
        m_thread = std::thread([this] { Serve(); });
    }
    ~RawMessageServer() {
        m_thread.join();
        close(m_fd);
    }
    bool Listening() const { return m_listening; }
    int Port() const { return m_port; }
    // Valid once the sender has closed (or after 20 seconds).
    std::string Bytes() {
        testsupport::WaitFor([&] { return m_done.load(); }, 20s);
        return m_bytes;
    }
    std::string PeerAddress() {
        testsupport::WaitFor([&] { return m_done.load(); }, 20s);
        return m_peer;
    }

private:
    void Serve() {
        pollfd waiting{m_fd, POLLIN, 0};
        if (m_listening && poll(&waiting, 1, 20000) == 1) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            int connection = accept(m_fd, reinterpret_cast<sockaddr*>(&from), &length);
            if (connection >= 0) {
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                m_peer = text;
                timeval limit{20, 0};
                setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                char buffer[4096];
                for (ssize_t got; (got = read(connection, buffer, sizeof buffer)) > 0;)
                    m_bytes.append(buffer, static_cast<std::size_t>(got));
                close(connection);
            }
        }
        m_done.store(true);
    }

    int m_port;
    int m_fd = -1;
    bool m_listening = false;
    std::string m_bytes;
    std::string m_peer;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

std::string Field(const std::string& packet, std::size_t offset, std::size_t width) {
    std::string field = packet.substr(offset, width);
    return field.substr(0, field.find('\0'));
}

const std::map<std::string, std::string> kNoLaunch{{"HALVSERVE_PATH", "/bin/true"}};

class SendCommand : public ::testing::Test {
protected:
    User m_receiver{"127.0.0.2"};
    User m_sender{"127.0.0.3"};
};

TEST_F(SendCommand, AMessageToAFriendCarriesTheOwnNameTextAndDefaultColours) {
    RawMessageServer server(m_receiver.Address());
    ASSERT_TRUE(server.Listening());
    SenderPresence presence(m_sender, m_receiver.Address());
    Result sent = m_sender.Run(
        {"send", "Friend@Example.com", "hello there", "--port", std::to_string(server.Port())},
        kNoLaunch);
    ASSERT_EQ(sent.code, 0) << sent.output;
    EXPECT_TRUE(Contains(sent.output, "To friend@example.com: hello there")) << sent.output;

    const std::string packet = server.Bytes();
    ASSERT_EQ(packet.size(), 648u);
    EXPECT_EQ(Field(packet, 0, 125), "Sender Name");
    EXPECT_EQ(Field(packet, 125, 512), "hello there");
    EXPECT_EQ(packet.substr(136, 504), std::string(504, '\0'));
    // Without a settings file: a bubble of red 0x80, green 0x80, blue 0xff, black text.
    EXPECT_EQ(packet.substr(640, 8), std::string("\x80\x80\xff\0\0\0\0\0", 8));
    // The receiver answers the address the message came from: the sender's own.
    EXPECT_EQ(server.PeerAddress(), m_sender.Address());
}

TEST_F(SendCommand, AMessageToAnAddressIsCutToItsField) {
    RawMessageServer server(m_receiver.Address());
    ASSERT_TRUE(server.Listening());
    SenderPresence presence(m_sender, "0.0.0.0");
    Result sent = m_sender.Run({"send", m_receiver.Address(), std::string(600, 'm'), "--port",
                                std::to_string(server.Port())},
                               kNoLaunch);
    ASSERT_EQ(sent.code, 0) << sent.output;
    EXPECT_TRUE(Contains(sent.output, "cut to its first 511 characters")) << sent.output;
    EXPECT_TRUE(Contains(sent.output, "To " + m_receiver.Address() + ": " + std::string(511, 'm')))
        << sent.output;
    const std::string packet = server.Bytes();
    ASSERT_EQ(packet.size(), 648u);
    EXPECT_EQ(Field(packet, 125, 512), std::string(511, 'm'));
}

TEST_F(SendCommand, NothingGoesWhereNobodyListensOrToAnOfflineFriend) {
    SenderPresence presence(m_sender, "0.0.0.0");
    Result nobody = m_sender.Run({"send", m_receiver.Address(), "hi", "--port",
                                  std::to_string(testsupport::FreeTcpPort(m_receiver.Address()))},
                                 kNoLaunch);
    EXPECT_EQ(nobody.code, 1);
    EXPECT_TRUE(Contains(nobody.output, "no connection")) << nobody.output;
    EXPECT_FALSE(Contains(nobody.output, "To ")) << nobody.output;

    Result offline = m_sender.Run({"send", "friend@example.com", "hi"}, kNoLaunch);
    EXPECT_EQ(offline.code, 1);
    EXPECT_FALSE(Contains(offline.output, "To ")) << offline.output;

    Result usage = m_sender.Run({"send", "friend@example.com"}, kNoLaunch);
    EXPECT_EQ(usage.code, 2);
}

} // namespace
