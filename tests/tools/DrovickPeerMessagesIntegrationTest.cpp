// Instant messages between two users running drovick-peer serve: sent with
// drovick-peer send, shown one line each on the receiver's standard output.

#include "DrovickPeerUsers.h"
#include "FakeService.h"

#include <thread>

namespace {

using namespace drovickpeertest;

// The sending user's presence service: registered, id 7, named "Alice Sender".
class SenderPresence {
public:
    explicit SenderPresence(const User& user) {
        setenv("XDG_RUNTIME_DIR", user.Runtime().c_str(), 1);
        m_service = std::make_unique<FakeService>([](const BridgeRecord& request) {
            switch (request.Code()) {
            case kCmdGetMyID:
                return std::vector<BridgeRecord>{FakeService::Reply(request, 7)};
            case kCmdGetFriend:
                return std::vector<BridgeRecord>{FakeService::Reply(request, -1)};
            case kCmdGetProfile:
                return std::vector<BridgeRecord>{ProfileReply(request, "Alice Sender", "")};
            default:
                return std::vector<BridgeRecord>{FakeService::Reply(request, 1)};
            }
        });
    }

private:
    std::unique_ptr<FakeService> m_service;
};

class TwoServingUsers : public ::testing::Test {
protected:
    void SetUp() override {
        m_messengerPort = testsupport::FreeTcpPort(m_receiver.Address());
        m_searchPort = testsupport::FreeTcpPort(m_receiver.Address());
        for (const User* user : {&m_sender, &m_receiver})
            m_serves.push_back(std::make_unique<ChildProcess>(
                testsupport::BuildBin("drovick-peer"),
                std::vector<std::string>{"serve", "--nfs-port", std::to_string(user->NfsPort()),
                                         "--transfer-port", std::to_string(user->TransferPort()),
                                         "--search-port", std::to_string(m_searchPort),
                                         "--messenger-port", std::to_string(m_messengerPort)},
                user->Environment()));
        for (auto& serve : m_serves)
            ASSERT_TRUE(testsupport::WaitFor(
                [&] { return Contains(serve->Output(), "InstantMessageServer listening on"); },
                15s))
                << serve->Output();
    }

    Result Send(const std::string& text) {
        return m_sender.Run(
            {"send", m_receiver.Address(), text, "--port", std::to_string(m_messengerPort)},
            {{"HALVSERVE_PATH", "/bin/true"}});
    }

    // The received-message lines of the receiver's output.
    std::vector<std::string> Received() {
        std::vector<std::string> lines;
        for (const std::string& line : Lines(m_serves[1]->Output()))
            if (StartsWith(line, "message from "))
                lines.push_back(line);
        return lines;
    }

    bool WaitForMessages(std::size_t count) {
        return testsupport::WaitFor([&] { return Received().size() >= count; }, 10s);
    }

    User m_sender{"127.0.0.2"};
    User m_receiver{"127.0.0.3"};
    SenderPresence m_presence{m_sender};
    int m_messengerPort = 0;
    int m_searchPort = 0;
    std::vector<std::unique_ptr<ChildProcess>> m_serves;
};

TEST_F(TwoServingUsers, AMessageShowsOnTheReceiversOutputWithTheSendersAddress) {
    Result sent = Send("hello there");
    ASSERT_EQ(sent.code, 0) << sent.output;
    // The sender sees its echo.
    EXPECT_TRUE(Contains(sent.output, "To " + m_receiver.Address() + ": hello there"))
        << sent.output;
    ASSERT_TRUE(WaitForMessages(1)) << m_serves[1]->Output();
    EXPECT_EQ(Received()[0], "message from Alice Sender (127.0.0.2): hello there");
    // The sender's own serve shows nothing: the message was not for it.
    EXPECT_FALSE(Contains(m_serves[0]->Output(), "message from ")) << m_serves[0]->Output();
}

TEST_F(TwoServingUsers, AMessageStaysOneLineAndIsCutToItsField) {
    ASSERT_EQ(Send("line one\nline two \x1b[31mred").code, 0);
    ASSERT_TRUE(WaitForMessages(1)) << m_serves[1]->Output();
    EXPECT_EQ(Received()[0], "message from Alice Sender (127.0.0.2): line one?line two ?[31mred");

    std::string longText;
    for (int i = 0; i < 600; ++i)
        longText += static_cast<char>('a' + i % 26);
    ASSERT_EQ(Send(longText).code, 0);
    ASSERT_TRUE(WaitForMessages(2)) << m_serves[1]->Output();
    EXPECT_EQ(Received()[1], "message from Alice Sender (127.0.0.2): " + longText.substr(0, 511));
}

TEST_F(TwoServingUsers, AShortPacketShowsNothing) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(m_messengerPort));
    inet_pton(AF_INET, m_receiver.Address().c_str(), &where.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    std::string packet(647, '\0');
    packet.replace(0, 5, "Mallo");
    packet.replace(125, 5, "short");
    ASSERT_EQ(write(fd, packet.data(), packet.size()), 647);
    close(fd);
    // A whole message after it is the only one shown.
    ASSERT_EQ(Send("after").code, 0);
    ASSERT_TRUE(WaitForMessages(1)) << m_serves[1]->Output();
    std::this_thread::sleep_for(200ms);
    const auto received = Received();
    ASSERT_EQ(received.size(), 1u) << m_serves[1]->Output();
    EXPECT_EQ(received[0], "message from Alice Sender (127.0.0.2): after");
}

TEST_F(TwoServingUsers, WithoutPresenceTheSearchServerSaysItForwardsToNobody) {
    // The receiver has no presence service: once the library gave up, serve
    // says so once and goes on serving.
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return Contains(m_serves[1]->Output(), "forwarded to nobody"); }, 20s))
        << m_serves[1]->Output();
    ASSERT_EQ(Send("still here").code, 0);
    ASSERT_TRUE(WaitForMessages(1)) << m_serves[1]->Output();
    // The sender's serve found its (scripted) presence service.
    EXPECT_TRUE(Contains(m_serves[0]->Output(), "presence service answered"))
        << m_serves[0]->Output();
    m_serves[1]->Signal(SIGTERM);
    EXPECT_EQ(m_serves[1]->Wait(5s), 0);
    const std::string output = m_serves[1]->Output();
    std::size_t said = 0;
    for (std::size_t at = 0; (at = output.find("forwarded to nobody", at)) != std::string::npos;
         ++at)
        ++said;
    EXPECT_EQ(said, 1u);
}

} // namespace
