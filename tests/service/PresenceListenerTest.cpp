#include "service/PresenceListener.h"

#include "bridge/CStdExcept.h"
#include "service/PresenceCalls.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace presence;
using testsupport::WaitFor;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kOwnId = 42;
constexpr int kBlockLimitMs = 800;
const std::string kLoopback = "127.0.0.1";

// Records what the listener hands over; answers from what the test set.
class RecordingHandler : public PresenceHandler {
public:
    std::int32_t OwnID() override { return kOwnId; }
    PeerProfile ProfileFor(std::int32_t callerId) override {
        Record("profile", callerId);
        return {"Own Name", "own@example.org"};
    }
    void AddressAnnounced(std::int32_t callerId, const std::string& ip, const std::string&) override {
        Record("address " + ip, callerId);
    }
    bool HasActiveTOS(std::int32_t tos) override {
        Record("has " + std::to_string(tos), -1);
        std::lock_guard lock(m_lock);
        return activeTos.count(tos) > 0;
    }
    void TOSQueried(std::int32_t callerId, const std::string&) override {
        if (throwOnQueried)
            throw CStdExcept("Contacts", 1);
        Record("queried", callerId);
    }
    void StateQueried(std::int32_t callerId, std::int32_t value, const std::string&) override {
        Record("state " + std::to_string(value), callerId);
    }
    void AcquaintanceNoticed(std::int32_t callerId, const std::string&) override { Record("notice", callerId); }
    void TOSNoticed(std::int32_t callerId, std::int32_t tos, bool on, const std::string&) override {
        Record("tos " + std::to_string(tos) + (on ? " on" : " off"), callerId);
    }
    bool IsKnown(std::int32_t callerId) override {
        Record("known?", callerId);
        return callerId == 7;
    }

    std::vector<std::pair<std::string, std::int32_t>> Events() {
        std::lock_guard lock(m_lock);
        return m_events;
    }
    bool Saw(const std::string& what, std::int32_t caller) {
        auto events = Events();
        return std::find(events.begin(), events.end(), std::make_pair(what, caller)) !=
               events.end();
    }

    std::set<std::int32_t> activeTos{155};
    std::atomic<bool> throwOnQueried{false};

private:
    void Record(const std::string& what, std::int32_t caller) {
        std::lock_guard lock(m_lock);
        m_events.emplace_back(what, caller);
    }
    std::mutex m_lock;
    std::vector<std::pair<std::string, std::int32_t>> m_events;
};

class PresenceListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = testsupport::FreeTcpPort(kLoopback);
        listener = std::make_unique<PresenceListener>(handler, kLoopback, port, kBlockLimitMs);
        ASSERT_TRUE(listener->Start());
        ASSERT_TRUE(WaitFor([&] { return listener->IsListening(); }, 3s));
    }
    void TearDown() override { listener.reset(); }

    // A raw connection that sends bytes and reads whatever comes back until the
    // listener closes (or 3 s pass).
    std::vector<std::uint8_t> Exchange(const std::vector<std::uint8_t>& request) {
        TimedSocket socket;
        EXPECT_TRUE(socket.Connect(kLoopback, port));
        EXPECT_EQ(socket.Send(request.data(), request.size()), request.size());
        std::vector<std::uint8_t> answer;
        socket.SetLimit(3000);
        std::uint8_t buffer[600];
        long n;
        while ((n = socket.Receive(buffer, sizeof buffer)) > 0)
            answer.insert(answer.end(), buffer, buffer + n);
        // A close (or a reset, when bytes were left unread) ends the loop; a
        // listener that never closed would leave it at the limit.
        EXPECT_FALSE(socket.LimitPassed()) << "the listener did not close the connection";
        return answer;
    }
    static std::vector<std::uint8_t> Request(Header header,
                                             std::vector<std::uint8_t> payload = {}) {
        auto bytes = header.Encode();
        std::vector<std::uint8_t> all(bytes.begin(), bytes.end());
        all.insert(all.end(), payload.begin(), payload.end());
        return all;
    }
    static std::vector<std::uint8_t> Word(std::int32_t value) {
        auto bytes = EncodeInt32(value);
        return {bytes.begin(), bytes.end()};
    }

    PresenceCalls Calls(std::string local = "127.0.0.1") {
        return PresenceCalls([local] { return local; }, port, kBlockLimitMs);
    }

    RecordingHandler handler;
    int port = 0;
    std::unique_ptr<PresenceListener> listener;
};

TEST_F(PresenceListenerTest, BadMagicOfEitherKindIsDroppedWithoutAnswer) {
    Header replyMagic = Header::Request(kTOSQuery, kOwnId, 7);
    replyMagic.magic = kReplyMagic;
    EXPECT_TRUE(Exchange(Request(replyMagic, Word(155))).empty());
    Header garbage = Header::Request(kAnonTOSQuery, kOwnId, 7);
    garbage.magic = 0xDEADBEEF;
    EXPECT_TRUE(Exchange(Request(garbage, Word(155))).empty());
    EXPECT_TRUE(handler.Events().empty());
    // The loop goes on.
    EXPECT_EQ(Exchange(Request(Header::Request(kKnownQuery, kOwnId, 7))).size(), 24u);
}

TEST_F(PresenceListenerTest, WrongCalleeIsRefusedWithTheRequestShapedType10) {
    auto answer = Exchange(Request(Header::Request(kTOSQuery, kOwnId + 1, 7)));
    ASSERT_EQ(answer.size(), kHeaderSize);
    auto header = Header::Decode(answer);
    EXPECT_EQ(header->magic, kRequestMagic);
    EXPECT_EQ(header->version, 1);
    EXPECT_EQ(header->type, kRefusal);
    EXPECT_EQ(header->calleeId, -1);
    EXPECT_TRUE(handler.Events().empty());
}

TEST_F(PresenceListenerTest, AnonymousQueryIsAcceptedWhateverTheCalleeAndAddsNobody) {
    auto answer = Exchange(Request(Header::Request(kAnonTOSQuery, 999, -1), Word(155)));
    ASSERT_EQ(answer.size(), kHeaderSize + 4);
    EXPECT_TRUE(Header::Decode(answer)->IsReplyTo(kAnonTOSQuery));
    EXPECT_EQ(DecodeInt32(std::span(answer).subspan(kHeaderSize)), 1);
    answer = Exchange(Request(Header::Request(kAnonTOSQuery, 0, 5), Word(156)));
    EXPECT_EQ(DecodeInt32(std::span(answer).subspan(kHeaderSize)), 0);
    EXPECT_FALSE(handler.Saw("queried", 5));
}

TEST_F(PresenceListenerTest, UnknownTypeGetsAReplyCarryingType10) {
    for (std::int32_t type : {10, 20, -3}) {
        auto answer = Exchange(Request(Header::Request(type, kOwnId, 7)));
        ASSERT_EQ(answer.size(), kHeaderSize) << type;
        auto header = Header::Decode(answer);
        EXPECT_EQ(header->magic, kReplyMagic);
        EXPECT_EQ(header->type, kRefusal);
    }
    EXPECT_TRUE(handler.Events().empty());
}

TEST_F(PresenceListenerTest, SilentAndShortHeadersDelayNobodyAndAreClosedAfterTheLimit) {
    using Clock = std::chrono::steady_clock;
    for (std::size_t sent : {std::size_t(0), std::size_t(7)}) {
        TimedSocket idle;
        ASSERT_TRUE(idle.Connect(kLoopback, port));
        auto header = Header::Request(kKnownQuery, kOwnId, 7).Encode();
        ASSERT_EQ(idle.Send(header.data(), sent), sent);
        // Served beside the idle one, without waiting for its limit.
        auto answer = Exchange(Request(Header::Request(kKnownQuery, kOwnId, 7)));
        ASSERT_EQ(answer.size(), kHeaderSize + 4) << sent;
        EXPECT_EQ(DecodeInt32(std::span(answer).subspan(kHeaderSize)), 1);
        // The idle peer is closed on once its limit has passed.
        auto start = Clock::now();
        std::uint8_t byte = 0;
        idle.SetLimit(kBlockLimitMs + 1000);
        EXPECT_EQ(idle.Receive(&byte, 1), 0);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kBlockLimitMs + 700)) << sent;
    }
    EXPECT_TRUE(listener->IsRunning());
}

TEST_F(PresenceListenerTest, TricklingPeerCannotStretchAHeaderPastTheLimit) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::atomic<bool> closedOn{false};
    std::thread trickler([&] {
        TimedSocket slow;
        ASSERT_TRUE(slow.Connect(kLoopback, port));
        auto header = Header::Request(kKnownQuery, kOwnId, 7).Encode();
        // One byte every 150 ms would need 3 s for the header.
        for (std::uint8_t byte : header) {
            slow.SetLimit(500);
            if (slow.Send(&byte, 1) != 1)
                break;
            std::this_thread::sleep_for(150ms);
        }
        std::uint8_t answer = 0;
        slow.SetLimit(1000);
        closedOn = slow.Receive(&answer, 1) <= 0 && !slow.LimitPassed();
    });
    std::this_thread::sleep_for(50ms);
    auto answer = Exchange(Request(Header::Request(kKnownQuery, kOwnId, 7)));
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    trickler.join();
    EXPECT_EQ(answer.size(), kHeaderSize + 4);
    EXPECT_LT(spent.count(), kBlockLimitMs + 700);
    EXPECT_TRUE(closedOn);
    EXPECT_TRUE(handler.Events().size() == 1 && handler.Saw("known?", 7));
}

// A connection from the given loopback address that sends nothing.
int IdleConnection(const char* from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, kLoopback.c_str(), &remote.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(PresenceListenerTest, IdleConnectionsFromOneAddressDelayNobodyElse) {
    using Clock = std::chrono::steady_clock;
    std::vector<int> idle;
    for (int i = 0; i < 60; ++i) {
        idle.push_back(IdleConnection("127.0.0.2", port));
        ASSERT_GE(idle.back(), 0) << i;
    }
    auto start = Clock::now();
    auto answer = Exchange(Request(Header::Request(kKnownQuery, kOwnId, 7)));
    EXPECT_LT(Clock::now() - start, 10s);
    ASSERT_EQ(answer.size(), kHeaderSize + 4);
    EXPECT_EQ(DecodeInt32(std::span(answer).subspan(kHeaderSize)), 1);

    // A stop ends the connections still held at once.
    start = Clock::now();
    listener->Stop();
    EXPECT_LT(Clock::now() - start, 5s);
    for (int fd : idle)
        close(fd);
}

TEST(PresenceListenerPortTest, TakenPortIsRetriedUntilFree) {
    RecordingHandler handler;
    int port = testsupport::FreeTcpPort(kLoopback);
    auto holder = std::make_unique<TimedSocket>();
    ASSERT_TRUE(holder->Listen(kLoopback, port, 1));
    PresenceListener listener(handler, kLoopback, port, kBlockLimitMs);
    ASSERT_TRUE(listener.Start());
    EXPECT_FALSE(listener.Start());
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(listener.IsListening());
    EXPECT_TRUE(listener.IsRunning());
    holder.reset();
    EXPECT_TRUE(WaitFor([&] { return listener.IsListening(); }, 4s));
    PresenceCalls calls([] { return std::string("127.0.0.1"); }, port, kBlockLimitMs);
    EXPECT_EQ(calls.KnownQuery(kLoopback, kOwnId, 7), 1);
    // A stop while the port is still taken ends the loop too.
    listener.Stop();
    TimedSocket again;
    ASSERT_TRUE(again.Listen(kLoopback, port, 1));
    ASSERT_TRUE(listener.Start());
    std::this_thread::sleep_for(200ms);
    listener.Stop();
    EXPECT_FALSE(listener.IsRunning());
}

TEST_F(PresenceListenerTest, TOSQueryAnswersThenLetsTheEngineAddTheCaller) {
    auto answer = Exchange(Request(Header::Request(kTOSQuery, kOwnId, 9), Word(-1)));
    ASSERT_EQ(answer.size(), kHeaderSize + 4);
    EXPECT_EQ(DecodeInt32(std::span(answer).subspan(kHeaderSize)), 1);
    EXPECT_TRUE(WaitFor([&] { return handler.Saw("queried", 9); }, 10s));
    // TOS -1 is plain presence: the engine is not asked.
    EXPECT_FALSE(handler.Saw("has -1", -1));

    // A failing contact operation ends that connection only.
    handler.throwOnQueried = true;
    Exchange(Request(Header::Request(kTOSQuery, kOwnId, 10), Word(155)));
    handler.throwOnQueried = false;
    EXPECT_TRUE(WaitFor([&] { return listener->ServedCount() == 2; }, 10s));
    EXPECT_EQ(Exchange(Request(Header::Request(kKnownQuery, kOwnId, 7))).size(), 24u);
}

TEST_F(PresenceListenerTest, CallsCarryBothIDsAndParseTheAnswers) {
    PresenceCalls calls = Calls();
    EXPECT_EQ(calls.TOSQuery(kLoopback, kOwnId, 7, 155), 1);
    EXPECT_EQ(calls.TOSQuery(kLoopback, kOwnId, 8, 156), 0);
    EXPECT_TRUE(WaitFor([&] { return handler.Saw("queried", 8); }, 10s));
    EXPECT_TRUE(handler.Saw("queried", 7));

    calls.AnnounceIP(kLoopback, kOwnId, 7, "10.1.2.3");
    calls.AnnounceIP(kLoopback, kOwnId, 8, "0.0.0.0");
    EXPECT_EQ(calls.StateQuery(kLoopback, kOwnId, 7, 99), 3);
    calls.AcquaintanceNotice(kLoopback, kOwnId, 11);
    calls.TOSNotice(kLoopback, kOwnId, 12, 155, true);
    calls.TOSNotice(kLoopback, kOwnId, 12, 156, false);
    EXPECT_EQ(calls.KnownQuery(kLoopback, kOwnId, 7), 1);
    EXPECT_EQ(calls.KnownQuery(kLoopback, kOwnId, 8), 0);
    EXPECT_EQ(calls.AnonTOSQuery(kLoopback, 155), 1);
    PeerProfile profile = calls.RequestProfile(kLoopback, kOwnId, 13);
    EXPECT_EQ(profile.name, "Own Name");
    EXPECT_EQ(profile.eMail, "own@example.org");

    EXPECT_TRUE(WaitFor([&] { return handler.Saw("tos 156 off", 12); }, 10s));
    EXPECT_TRUE(handler.Saw("address 10.1.2.3", 7));
    EXPECT_TRUE(handler.Saw("address 0.0.0.0", 8));
    EXPECT_TRUE(handler.Saw("state 99", 7));
    EXPECT_TRUE(handler.Saw("notice", 11));
    EXPECT_TRUE(handler.Saw("tos 155 on", 12));
    EXPECT_TRUE(handler.Saw("known?", 8));
    EXPECT_TRUE(handler.Saw("profile", 13));

    calls.StopListener(kLoopback, kOwnId);
    EXPECT_TRUE(WaitFor([&] { return !listener->IsRunning(); }, 10s));
    // Started again, it serves again.
    ASSERT_TRUE(listener->Start());
    EXPECT_TRUE(WaitFor([&] { return listener->IsListening(); }, 5s));
    EXPECT_EQ(calls.KnownQuery(kLoopback, kOwnId, 7), 1);
}

int FailureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CStdExcept& e) {
        EXPECT_EQ(e.Unit(), "Protocol");
        return e.Number();
    }
    return 0;
}

TEST_F(PresenceListenerTest, CallsRefuseBadArgumentsAndReportEachFailedStep) {
    PresenceCalls calls = Calls();
    EXPECT_EQ(FailureOf([&] { Calls("0.0.0.0").TOSQuery(kLoopback, kOwnId, 7, 155); }), 31);
    EXPECT_EQ(FailureOf([&] { calls.TOSQuery("0.0.0.0", kOwnId, 7, 155); }), 39);
    EXPECT_EQ(FailureOf([&] { calls.TOSQuery("not-an-address", kOwnId, 7, 155); }), 39);
    EXPECT_EQ(FailureOf([&] { calls.TOSQuery(kLoopback, kOwnId, -1, 155); }), 39);
    // The listener refuses a call for somebody else.
    EXPECT_EQ(FailureOf([&] { calls.TOSQuery(kLoopback, kOwnId + 1, 7, 155); }), 92);
    PresenceCalls nobody([] { return std::string("127.0.0.1"); },
                         testsupport::FreeTcpPort(kLoopback), kBlockLimitMs);
    EXPECT_EQ(FailureOf([&] { nobody.KnownQuery(kLoopback, kOwnId, 7); }), 51);
    EXPECT_FALSE(handler.Saw("has 155", -1));
}

TEST(PresenceListenerAddressTest, OnlyThisComputersAddressesMayStopTheListener) {
    EXPECT_TRUE(IsLocalMachineAddress("127.0.0.1"));
    EXPECT_TRUE(IsLocalMachineAddress("127.3.2.1"));
    EXPECT_FALSE(IsLocalMachineAddress("192.0.2.77"));
    EXPECT_FALSE(IsLocalMachineAddress("0.0.0.0"));
    EXPECT_FALSE(IsLocalMachineAddress("localhost"));
    EXPECT_FALSE(IsLocalMachineAddress(""));
}

// A peer that acknowledges and then answers out of range, or not at all.
TEST(PresenceCallsTest, AnswersOutsideTheirValuesAndMissingAnswersFail) {
    TimedSocket fake;
    ASSERT_TRUE(fake.Listen(kLoopback, 0, 4));
    int port = fake.LocalPort();
    std::thread peer([&] {
        for (std::int32_t answer : {7, -100}) {
            TimedSocket connection;
            fake.SetLimit(3000);
            if (!fake.Accept(connection))
                return;
            std::uint8_t bytes[kHeaderSize];
            connection.ReceiveAll(bytes, sizeof bytes);
            auto reply = Header::Reply(kKnownQuery).Encode();
            connection.SetLimit(1000);
            connection.Send(reply.data(), reply.size());
            if (answer >= 0) {
                auto word = EncodeInt32(answer);
                connection.Send(word.data(), word.size());
            } else {
                std::this_thread::sleep_for(800ms);
            }
        }
    });
    PresenceCalls calls([] { return std::string("127.0.0.1"); }, port, 400);
    EXPECT_EQ(FailureOf([&] { calls.KnownQuery(kLoopback, kOwnId, 7); }), 96);
    EXPECT_EQ(FailureOf([&] { calls.KnownQuery(kLoopback, kOwnId, 7); }), 84);
    peer.join();
}

// A peer whose kernel takes the connection but who never reads or answers.
TEST(PresenceCallsTest, ARunFlagCancelsCallsAndABoundedCopyEndsByItsLimit) {
    TimedSocket silent;
    ASSERT_TRUE(silent.Listen(kLoopback, 0, 16));
    const int port = silent.LocalPort();
    std::atomic<bool> running{true};
    PresenceCalls calls([] { return std::string("127.0.0.1"); }, port);
    calls.SetRunFlag(&running);

    std::thread canceller([&] {
        std::this_thread::sleep_for(300ms);
        running.store(false);
    });
    auto start = std::chrono::steady_clock::now();
    // Would wait 10 s for the reply header.
    EXPECT_EQ(FailureOf([&] { calls.TOSQuery(kLoopback, kOwnId, 7, -1); }), 81);
    canceller.join();
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, 250ms);
    EXPECT_LT(spent, 1000ms);
    // With the flag down nothing connects any more.
    EXPECT_EQ(FailureOf([&] { calls.AnnounceIP(kLoopback, kOwnId, 7, "0.0.0.0"); }), 51);

    // A bounded copy ignores the flag but ends by its own limit, every step
    // included; the original stays cancelled.
    PresenceCalls bounded = calls.BoundedTo(600ms);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { bounded.AnnounceIP(kLoopback, kOwnId, 7, "0.0.0.0"); }), 81);
    spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, 500ms);
    EXPECT_LT(spent, 1300ms);
    EXPECT_EQ(FailureOf([&] { bounded.KnownQuery(kLoopback, kOwnId, 7); }), 51);
    EXPECT_EQ(FailureOf([&] { calls.KnownQuery(kLoopback, kOwnId, 7); }), 51);
}

} // namespace
