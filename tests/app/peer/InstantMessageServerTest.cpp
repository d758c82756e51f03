#include "app/peer/messages/InstantMessageServer.h"

#include "app/files/DrovickSettings.h"
#include "app/peer/messages/InstantMessage.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/messages/InstantMessageSender.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/wire/PeerConnection.h"
#include "support/TestSupport.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Window : public InstantMessageReceiver {
public:
    void AppendMessage(const InstantMessageEntry& entry) override {
        std::lock_guard lock(m_mutex);
        m_entries.push_back(entry);
    }
    std::vector<InstantMessageEntry> Entries() const {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    bool WaitForCount(std::size_t count, std::chrono::milliseconds limit = 5s) const {
        return testsupport::WaitFor([&] { return Entries().size() >= count; }, limit);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<InstantMessageEntry> m_entries;
};

// The friends list of the presence library: stored addresses are lower-case
// and compared byte for byte, as the library compares them.
class FakeFriends : public FriendResolver {
public:
    std::string AddressOf(const std::string& email) override {
        ++questions;
        auto found = addresses.find(email);
        return found == addresses.end() ? std::string() : found->second;
    }
    std::map<std::string, std::string> addresses;
    int questions = 0;
};

class FakeOwnName : public OwnNameSource {
public:
    explicit FakeOwnName(std::string name)
        : m_name(std::move(name)) {}
    bool OwnName(std::string& name) override {
        if (!available)
            return false;
        name = m_name;
        return true;
    }
    bool available = true;

private:
    std::string m_name;
};

// One user of the test: settings, a messenger window that is open, the display
// and a message server on the user's own loopback address.
struct User {
    explicit User(std::string ownAddress)
        : address(std::move(ownAddress)) {
        display.Register(&window);
    }
    ~User() { display.Unregister(&window); }

    void Start(InstantMessageServer::Limits limits = {}) {
        // The worker reads the listening address when it starts.
        setenv("HALVARA_ADDRESS", address.c_str(), 1);
        port = testsupport::FreeTcpPort(address);
        server = std::make_unique<InstantMessageServer>(
            &display, port, PeerServer::Timing{3, 100ms, 5000ms}, limits);
        ASSERT_TRUE(server->Start());
        ASSERT_TRUE(testsupport::WaitFor([&] { return server->IsListening(); }, 5s));
        unsetenv("HALVARA_ADDRESS");
    }

    InstantMessageSendContext Context(int destinationPort) {
        InstantMessageSendContext context;
        context.friends = &friends;
        context.ownName = &ownName;
        context.settings = &settings;
        context.display = &display;
        context.port = destinationPort;
        context.localAddress = address;
        return context;
    }

    std::string address;
    DrovickSettings settings;
    Window window;
    InstantMessageDisplay display{&settings, nullptr};
    FakeFriends friends;
    FakeOwnName ownName{"Alice Example"};
    int port = 0;
    std::unique_ptr<InstantMessageServer> server;
};

class InstantMessageServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_bob.Start();
        m_alice.friends.addresses["bob@example.com"] = m_bob.address;
        m_alice.settings.messageBubbleColour = 0x0080ff80;
        m_alice.settings.messageTextColour = 0x00202020;
        m_alice.settings.PublishOptions();
    }

    // Sends raw bytes to Bob's server and closes.
    void SendRaw(const std::vector<std::uint8_t>& bytes) {
        auto connection = OpenConnection(m_bob.address, m_bob.port);
        ASSERT_TRUE(connection);
        ASSERT_EQ(connection->Send(bytes.data(), bytes.size()), bytes.size());
        CloseConnection(connection);
    }

    User m_alice{"127.0.0.2"};
    User m_bob{"127.0.0.3"};
};

TEST_F(InstantMessageServerTest, AMessageByEMailArrivesWithNameTextColoursAndSenderAddress) {
    auto result =
        SendInstantMessage("bob@example.com", "lunch at one?", "", m_alice.Context(m_bob.port));
    ASSERT_EQ(result, InstantMessageSendResult::Sent) << InstantMessageSendResultName(result);
    ASSERT_TRUE(m_bob.window.WaitForCount(1));
    auto received = m_bob.window.Entries()[0];
    EXPECT_EQ(received.senderLabel, "Alice Example");
    EXPECT_EQ(received.shownText, "Alice Example: lunch at one?");
    EXPECT_EQ(received.address, "127.0.0.2");
    EXPECT_EQ(received.bubbleColour, 0x0080ff80u);
    EXPECT_EQ(received.textColour, 0x00202020u);
    EXPECT_FALSE(received.outgoing);
    EXPECT_TRUE(received.CanReply());

    // The echo is labelled with the destination as typed.
    auto echoes = m_alice.window.Entries();
    ASSERT_EQ(echoes.size(), 1u);
    EXPECT_EQ(echoes[0].shownText, "To bob@example.com: lunch at one?");
    EXPECT_EQ(echoes[0].address, "127.0.0.1");
    EXPECT_EQ(echoes[0].bubbleColour, 0x0080ff80u);
    EXPECT_EQ(echoes[0].textColour, 0x00202020u);
    EXPECT_TRUE(echoes[0].outgoing);
    EXPECT_FALSE(echoes[0].CanReply());
}

TEST_F(InstantMessageServerTest, AReplyByAddressReachesTheSender) {
    m_alice.Start();
    ASSERT_EQ(SendInstantMessage("bob@example.com", "ping", "", m_alice.Context(m_bob.port)),
              InstantMessageSendResult::Sent);
    ASSERT_TRUE(m_bob.window.WaitForCount(1));
    auto received = m_bob.window.Entries()[0];

    // Bob answers the bubble: its address as destination, its label as label.
    m_bob.ownName = FakeOwnName("Bob");
    m_bob.settings.messageBubbleColour = 0x00010203;
    m_bob.settings.PublishOptions();
    auto reply = SendInstantMessage(received.address, std::string(600, 'r'), received.senderLabel,
                                    m_bob.Context(m_alice.port));
    ASSERT_EQ(reply, InstantMessageSendResult::Sent) << InstantMessageSendResultName(reply);
    ASSERT_TRUE(m_alice.window.WaitForCount(2));
    auto answer = m_alice.window.Entries()[1];
    EXPECT_EQ(answer.senderLabel, "Bob");
    EXPECT_EQ(answer.shownText, "Bob: " + std::string(511, 'r'));
    EXPECT_EQ(answer.address, "127.0.0.3");
    EXPECT_EQ(answer.bubbleColour, 0x00010203u);
    EXPECT_EQ(m_bob.friends.questions, 0);

    auto bobEcho = m_bob.window.Entries().back();
    EXPECT_EQ(bobEcho.shownText, "To Alice Example: " + std::string(511, 'r'));
    EXPECT_EQ(bobEcho.address, "127.0.0.1");
}

TEST_F(InstantMessageServerTest, WhatCannotBeSentSendsNothingAndEchoesNothing) {
    auto context = m_alice.Context(m_bob.port);
    EXPECT_EQ(SendInstantMessage("", "text", "", context), InstantMessageSendResult::Empty);
    EXPECT_EQ(SendInstantMessage("bob@example.com", "", "", context),
              InstantMessageSendResult::Empty);
    // Stored addresses are lower-case; another letter case names no friend.
    EXPECT_EQ(SendInstantMessage("Bob@Example.com", "hi", "", context),
              InstantMessageSendResult::NoFriend);
    EXPECT_EQ(SendInstantMessage("carol@example.com", "hi", "", context),
              InstantMessageSendResult::NoFriend);
    EXPECT_EQ(SendInstantMessage("0.0.0.0", "hi", "", context), InstantMessageSendResult::Offline);
    m_alice.friends.addresses["dave@example.com"] = "0.0.0.0";
    EXPECT_EQ(SendInstantMessage("dave@example.com", "hi", "", context),
              InstantMessageSendResult::Offline);

    // Without the presence library nothing goes, not even to an address.
    m_alice.ownName.available = false;
    EXPECT_EQ(SendInstantMessage(m_bob.address, "hi", "", context),
              InstantMessageSendResult::NoOwnName);
    m_alice.ownName.available = true;
    auto noLibrary = context;
    noLibrary.friends = nullptr;
    EXPECT_EQ(SendInstantMessage("bob@example.com", "hi", "", noLibrary),
              InstantMessageSendResult::NoFriend);
    noLibrary.ownName = nullptr;
    EXPECT_EQ(SendInstantMessage(m_bob.address, "hi", "", noLibrary),
              InstantMessageSendResult::NoOwnName);

    // Nobody listens on this port.
    auto nobody = m_alice.Context(testsupport::FreeTcpPort(m_bob.address));
    EXPECT_EQ(SendInstantMessage(m_bob.address, "hi", "", nobody),
              InstantMessageSendResult::CannotConnect);

    EXPECT_TRUE(m_alice.window.Entries().empty());
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(m_bob.window.Entries().empty());
    EXPECT_EQ(m_bob.server->ReceivedCount(), 0);
}

TEST_F(InstantMessageServerTest, AShortPacketIsDroppedAndTheServerGoesOn) {
    auto packet = EncodeInstantMessage({"Mallory", "almost", 0, 0});
    SendRaw(std::vector<std::uint8_t>(packet.begin(), packet.end() - 1));
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_bob.server->DroppedCount() == 1; }, 5s));
    EXPECT_TRUE(m_bob.window.Entries().empty());

    ASSERT_EQ(SendInstantMessage(m_bob.address, "after", "", m_alice.Context(m_bob.port)),
              InstantMessageSendResult::Sent);
    ASSERT_TRUE(m_bob.window.WaitForCount(1));
    EXPECT_EQ(m_bob.window.Entries()[0].shownText, "Alice Example: after");
    EXPECT_EQ(m_bob.window.Entries().size(), 1u);
}

TEST_F(InstantMessageServerTest, APacketWithoutTerminatorsIsReadWithinItsFields) {
    SendRaw(std::vector<std::uint8_t>(648, 'Z'));
    ASSERT_TRUE(m_bob.window.WaitForCount(1));
    auto entry = m_bob.window.Entries()[0];
    EXPECT_EQ(entry.senderLabel, std::string(124, 'Z'));
    EXPECT_EQ(entry.shownText, std::string(124, 'Z') + ": " + std::string(511, 'Z'));
    EXPECT_EQ(entry.bubbleColour, 0x005a5a5au);
    EXPECT_EQ(entry.textColour, 0x005a5a5au);
}

TEST(InstantMessageServerLimitTest, ASilentPeerDelaysNobodyAndIsDroppedAfterTheLimit) {
    User bob("127.0.0.3");
    User alice("127.0.0.2");
    bob.Start({600ms});
    auto silent = OpenConnection(bob.address, bob.port);
    ASSERT_TRUE(silent);
    // The silent connection is being served when the message arrives.
    std::this_thread::sleep_for(100ms);
    auto start = Clock::now();
    ASSERT_EQ(SendInstantMessage(bob.address, "behind a silent peer", "", alice.Context(bob.port)),
              InstantMessageSendResult::Sent);
    ASSERT_TRUE(bob.window.WaitForCount(1, 5s));
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_TRUE(testsupport::WaitFor([&] { return bob.server->DroppedCount() == 1; }, 5s));
    EXPECT_EQ(bob.window.Entries()[0].shownText, "Alice Example: behind a silent peer");
}

TEST(InstantMessageServerLimitTest, StopEndsTheServerWhileAClientHangs) {
    User bob("127.0.0.3");
    bob.Start(); // the default limit of 5 seconds
    auto silent = OpenConnection(bob.address, bob.port);
    ASSERT_TRUE(silent);
    std::this_thread::sleep_for(200ms);
    auto start = Clock::now();
    EXPECT_TRUE(bob.server->Stop(true));
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(bob.server->ExitCode(), 1);
    EXPECT_FALSE(bob.server->IsListening());
    EXPECT_TRUE(bob.window.Entries().empty());
    EXPECT_FALSE(testsupport::CanConnect(bob.address, bob.port, 500ms));

    // It starts again on the same port.
    setenv("HALVARA_ADDRESS", bob.address.c_str(), 1);
    ASSERT_TRUE(bob.server->Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return bob.server->IsListening(); }, 5s));
    unsetenv("HALVARA_ADDRESS");
    User alice("127.0.0.2");
    ASSERT_EQ(SendInstantMessage(bob.address, "back", "", alice.Context(bob.port)),
              InstantMessageSendResult::Sent);
    ASSERT_TRUE(bob.window.WaitForCount(1));
}

// The message options as the message threads see them while Preferences
// edits them on the user-interface thread: always one whole edit. Alice sends
// to her own server, so the options are read by the sending threads (the
// colours, pop-up for the echo) and by the server's workers (pop-up).
TEST(InstantMessageOptionsTest, MessageThreadsSeeOnlyWholeEditsWhilePreferencesChangesThem) {
    User alice("127.0.0.2");
    alice.Start();
    // Two edits whose colours differ in both: text and bubble of one edit
    // always travel together.
    const std::pair<std::uint32_t, std::uint32_t> first{0x111111, 0x222222};
    const std::pair<std::uint32_t, std::uint32_t> second{0x333333, 0x444444};
    alice.settings.messageTextColour = first.first;
    alice.settings.messageBubbleColour = first.second;
    alice.settings.PublishOptions();

    std::atomic<bool> stop{false};
    std::thread preferences([&] {
        for (bool flip = false; !stop.load(); flip = !flip) {
            const auto& edit = flip ? second : first;
            // One field at a time, with other work between, as a dialog
            // takes its values over.
            alice.settings.messageTextColour = edit.first;
            std::this_thread::sleep_for(20us);
            alice.settings.messageBubbleColour = edit.second;
            // Pop-up stays on in both, so every message reaches the window.
            alice.settings.popUpOnReceipt = 1;
            alice.settings.PublishOptions();
        }
    });
    constexpr int kSenders = 3;
    constexpr int kMessagesEach = 200;
    std::atomic<int> failed{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&] {
            for (int i = 0; i < kMessagesEach; ++i)
                if (SendInstantMessage(alice.address, "hello", "", alice.Context(alice.port)) !=
                    InstantMessageSendResult::Sent)
                    ++failed;
        });
    for (std::thread& sender : senders)
        sender.join();
    stop = true;
    preferences.join();

    EXPECT_EQ(failed.load(), 0);
    // Every echo is shown before its send returns; arrivals shown by then
    // are checked too.
    const auto entries = alice.window.Entries();
    EXPECT_GE(entries.size(), std::size_t{kSenders * kMessagesEach});
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    for (const InstantMessageEntry& entry : entries)
        seen.insert({entry.textColour, entry.bubbleColour});
    for (const auto& pair : seen)
        EXPECT_TRUE(pair == first || pair == second)
            << std::hex << "text " << pair.first << " with bubble " << pair.second;
}

TEST(InstantMessageOptionsTest, LoadedOptionsReachTheMessageThreadsAndUnpublishedEditsDoNot) {
    User alice("127.0.0.2");
    alice.Start();
    DrovickSettings saved;
    saved.messageTextColour = 0x010203;
    saved.messageBubbleColour = 0x040506;
    saved.downloadDirectory = "/srv/incoming/";
    ASSERT_TRUE(alice.settings.LoadFromBytes(saved.SaveToBytes()));
    EXPECT_EQ(alice.settings.Options().downloadDirectory, "/srv/incoming/");

    // An edit the user-interface thread has not handed over yet: workers
    // never read the fields themselves.
    alice.settings.messageTextColour = 0x0a0b0c;
    ASSERT_EQ(SendInstantMessage(alice.address, "hello", "", alice.Context(alice.port)),
              InstantMessageSendResult::Sent);
    ASSERT_TRUE(alice.window.WaitForCount(2, 10s));
    for (const InstantMessageEntry& entry : alice.window.Entries()) {
        EXPECT_EQ(entry.textColour, 0x010203u);
        EXPECT_EQ(entry.bubbleColour, 0x040506u);
    }
}

// The user-interface thread of a window program: it runs posted work in
// order and opens the messenger window on itself when the display asks.
class UserInterfaceThread : public UserInterfaceQueue, public InstantMessengerOpener {
public:
    explicit UserInterfaceThread(Window& window)
        : m_window(window) {
        m_thread = std::thread([this] { Run(); });
    }
    ~UserInterfaceThread() override { Finish(); }

    void Post(std::function<void()> work) override {
        {
            std::lock_guard lock(m_mutex);
            m_work.push_back(std::move(work));
        }
        m_wake.notify_one();
    }
    void OpenMessenger() override {
        {
            std::lock_guard lock(m_mutex);
            m_openerThread = std::this_thread::get_id();
        }
        display->Register(&m_window);
    }
    std::thread::id OpenerThread() const {
        std::lock_guard lock(m_mutex);
        return m_openerThread;
    }
    // Runs what is left, then ends the thread.
    void Finish() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

    // Set before anything is posted.
    InstantMessageDisplay* display = nullptr;

private:
    void Run() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
                if (m_work.empty())
                    return;
                work = std::move(m_work.front());
                m_work.pop_front();
            }
            work();
        }
    }

    Window& m_window;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    std::thread::id m_openerThread;
    std::thread m_thread;
};

TEST(InstantMessengerWindowTest, TheMessengerOpensWhileTheUserInterfaceStopsTheServer) {
    DrovickSettings settings; // pop-up on receipt, as by default
    Window window;
    UserInterfaceThread ui(window);
    InstantMessageDisplay display(&settings, &ui, &ui);
    ui.display = &display;

    const std::string address = "127.0.0.3";
    setenv("HALVARA_ADDRESS", address.c_str(), 1);
    const int port = testsupport::FreeTcpPort(address);
    InstantMessageServer server(&display, port, PeerServer::Timing{3, 100ms, 5000ms}, {});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(testsupport::WaitFor([&] { return server.IsListening(); }, 10s));
    unsetenv("HALVARA_ADDRESS");

    // The user stops the server just as a message has been read, so the
    // worker hands it over while the user-interface thread waits for it.
    std::promise<std::thread::id> stopped;
    ui.Post([&] {
        testsupport::WaitFor([&] { return server.ReceivedCount() == 1; }, 10s);
        server.Stop(true);
        stopped.set_value(std::this_thread::get_id());
    });
    User alice("127.0.0.2");
    ASSERT_EQ(SendInstantMessage(address, "are you there?", "", alice.Context(port)),
              InstantMessageSendResult::Sent);
    auto stoppedOn = stopped.get_future();
    if (stoppedOn.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the server's worker and the user-interface thread wait for each other";
        // Neither thread can be unwound: end here rather than hang the suite.
        std::fflush(nullptr);
        std::_Exit(EXIT_FAILURE);
    }
    const std::thread::id uiThread = stoppedOn.get();

    // Once free, the user-interface thread opens the window and shows it.
    ASSERT_TRUE(window.WaitForCount(1, 10s));
    EXPECT_EQ(window.Entries()[0].shownText, "Alice Example: are you there?");
    EXPECT_EQ(ui.OpenerThread(), uiThread);
    EXPECT_FALSE(server.IsListening());
    ui.Finish();
}

} // namespace
