// The message options as the message threads see them while Preferences edits
// them on the user-interface thread: always one whole edit, never a colour of
// one edit with the colour of another; and what a settings file holds reaches
// them as soon as it is loaded.

#include "app/files/DrovickSettings.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/messages/InstantMessageSender.h"
#include "app/peer/messages/InstantMessageServer.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "support/TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

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

private:
    mutable std::mutex m_mutex;
    std::vector<InstantMessageEntry> m_entries;
};

class Me : public OwnNameSource {
public:
    bool OwnName(std::string& name) override {
        name = "Ann";
        return true;
    }
};

// One user whose messages go to her own message server: the options are read
// by the sending thread (the colours, and pop-up for the echo) and by the
// server's worker (pop-up for the arrival).
struct LoopbackUser {
    LoopbackUser() {
        display.Register(&window);
        setenv("HALVARA_ADDRESS", kAddress, 1);
        port = testsupport::FreeTcpPort(kAddress);
        server = std::make_unique<InstantMessageServer>(
            &display, port, PeerServer::Timing{3, 100ms, 5000ms}, InstantMessageServer::Limits{});
        started =
            server->Start() && testsupport::WaitFor([&] { return server->IsListening(); }, 10s);
        unsetenv("HALVARA_ADDRESS");
    }
    ~LoopbackUser() {
        server->Stop(true);
        display.Unregister(&window);
    }

    InstantMessageSendResult Send(const std::string& text) {
        InstantMessageSendContext context;
        context.ownName = &me;
        context.settings = &settings;
        context.display = &display;
        context.port = port;
        context.localAddress = kAddress;
        return SendInstantMessage(kAddress, text, "", context);
    }

    static constexpr const char* kAddress = "127.0.0.2";
    DrovickSettings settings;
    Window window;
    InstantMessageDisplay display{&settings, nullptr};
    Me me;
    int port = 0;
    bool started = false;
    std::unique_ptr<InstantMessageServer> server;
};

TEST(InstantMessageOptions, MessageThreadsSeeOnlyWholeEditsWhilePreferencesChangesThem) {
    LoopbackUser ann;
    ASSERT_TRUE(ann.started);
    // Two edits whose colours differ in both: text and bubble of one edit
    // always travel together.
    const std::pair<std::uint32_t, std::uint32_t> first{0x111111, 0x222222};
    const std::pair<std::uint32_t, std::uint32_t> second{0x333333, 0x444444};

    ann.settings.messageTextColour = first.first;
    ann.settings.messageBubbleColour = first.second;
    ann.settings.PublishOptions();
    std::atomic<bool> stop{false};
    std::thread preferences([&] {
        for (bool flip = false; !stop.load(); flip = !flip) {
            const auto& edit = flip ? second : first;
            // One field at a time, with other work between, as a dialog
            // takes its values over.
            ann.settings.messageTextColour = edit.first;
            std::this_thread::sleep_for(20us);
            ann.settings.messageBubbleColour = edit.second;
            // Pop-up stays on in both, so every message reaches the window.
            ann.settings.popUpOnReceipt = 1;
            ann.settings.PublishOptions();
        }
    });
    constexpr int kSenders = 3;
    constexpr int kMessagesEach = 200;
    std::atomic<int> failed{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&] {
            for (int i = 0; i < kMessagesEach; ++i)
                if (ann.Send("hello") != InstantMessageSendResult::Sent)
                    ++failed;
        });
    for (std::thread& sender : senders)
        sender.join();
    stop = true;
    preferences.join();
    // Every echo is shown before its send returns; arrivals shown by then
    // are checked too.
    EXPECT_GE(ann.window.Entries().size(), std::size_t{kSenders * kMessagesEach});
    EXPECT_EQ(failed.load(), 0);
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    for (const InstantMessageEntry& entry : ann.window.Entries())
        seen.insert({entry.textColour, entry.bubbleColour});
    for (const auto& pair : seen)
        EXPECT_TRUE(pair == first || pair == second)
            << std::hex << "text " << pair.first << " with bubble " << pair.second;
}

TEST(InstantMessageOptions, LoadedOptionsReachTheMessageThreadsAndUnpublishedEditsDoNot) {
    LoopbackUser ann;
    ASSERT_TRUE(ann.started);
    DrovickSettings saved;
    saved.messageTextColour = 0x010203;
    saved.messageBubbleColour = 0x040506;
    saved.downloadDirectory = "/srv/incoming/";
    ASSERT_TRUE(ann.settings.LoadFromBytes(saved.SaveToBytes()));
    EXPECT_EQ(ann.settings.Options().downloadDirectory, "/srv/incoming/");

    // An edit the user-interface thread has not handed over yet: workers
    // never read the fields themselves.
    ann.settings.messageTextColour = 0x0a0b0c;
    ASSERT_EQ(ann.Send("hello"), InstantMessageSendResult::Sent);
    ASSERT_TRUE(testsupport::WaitFor([&] { return ann.window.Entries().size() == 2; }, 10s));
    for (const InstantMessageEntry& entry : ann.window.Entries()) {
        EXPECT_EQ(entry.textColour, 0x010203u);
        EXPECT_EQ(entry.bubbleColour, 0x040506u);
    }
}

} // namespace
