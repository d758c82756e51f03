#include "app/peer/messages/InstantMessage.h"

#include "app/files/DrovickSettings.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "support/RecordLayout.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

TEST(InstantMessagePacketTest, FieldsLieAtTheirOffsetsInLittleEndian) {
    InstantMessage message{"Alice", "hello there", 0x00ff8080, 0x00123456};
    InstantMessagePacket packet = EncodeInstantMessage(message);
    ASSERT_EQ(packet.size(), 648u);
    EXPECT_TRUE(testsupport::HoldsLayout(
        packet,
        {
            {"sender", 0, 125, "Alice"},
            // Behind each terminator the field and the gap are zero.
            {"sender's filler", 5, 125 - 5, testsupport::ZeroFilled{}},
            {"text", 125, 512, "hello there"},
            {"text's filler and the gap", 125 + 11, 640 - (125 + 11), testsupport::ZeroFilled{}},
            // Red 0x80 in the low byte, then green 0x80, then blue 0xff.
            {"bubbleColour", 640, 4, 0x00ff8080},
            {"textColour", 644, 4, 0x00123456},
        }));

    auto decoded = DecodeInstantMessage(packet);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sender, "Alice");
    EXPECT_EQ(decoded->text, "hello there");
    EXPECT_EQ(decoded->bubbleColour, 0x00ff8080u);
    EXPECT_EQ(decoded->textColour, 0x00123456u);
}

TEST(InstantMessagePacketTest, LongTextsAreCutToTheirFieldsAndStayTerminated) {
    InstantMessage message{std::string(200, 'n'), std::string(600, 't'), 0xff000000, 0};
    InstantMessagePacket packet = EncodeInstantMessage(message);
    EXPECT_EQ(packet[124], 0);
    EXPECT_EQ(packet[636], 0);
    // A colour's high byte never goes out.
    EXPECT_EQ(packet[643], 0);
    auto decoded = DecodeInstantMessage(packet);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sender, std::string(124, 'n'));
    EXPECT_EQ(decoded->text, std::string(511, 't'));
    EXPECT_EQ(decoded->bubbleColour, 0u);

    message.text = std::string(511, 'x');
    decoded = DecodeInstantMessage(EncodeInstantMessage(message));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->text, std::string(511, 'x'));
}

TEST(InstantMessagePacketTest, OnlyAWholePacketDecodes) {
    std::vector<std::uint8_t> bytes(647, 0);
    EXPECT_FALSE(DecodeInstantMessage(bytes));
    bytes.assign(649, 0);
    EXPECT_FALSE(DecodeInstantMessage(bytes));
    EXPECT_FALSE(DecodeInstantMessage({}));
    bytes.assign(648, 0);
    auto decoded = DecodeInstantMessage(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sender, "");
    EXPECT_EQ(decoded->text, "");
}

TEST(InstantMessagePacketTest, UnterminatedFieldsNeverRunIntoTheNextField) {
    // A packet without a single zero byte: each text stops at its field's end.
    std::vector<std::uint8_t> bytes(648, 'A');
    auto decoded = DecodeInstantMessage(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sender, std::string(124, 'A'));
    EXPECT_EQ(decoded->text, std::string(511, 'A'));
    EXPECT_EQ(decoded->bubbleColour, 0x00414141u);
    EXPECT_EQ(decoded->textColour, 0x00414141u);
}

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

// Opens the window by registering it, as the main frame's handler would.
class Opener : public InstantMessengerOpener {
public:
    Opener(InstantMessageDisplay*& display, Window& window)
        : m_display(display)
        , m_window(window) {}
    void OpenMessenger() override {
        ++calls;
        if (opens)
            m_display->Register(&m_window);
    }
    int calls = 0;
    bool opens = true;

private:
    InstantMessageDisplay*& m_display;
    Window& m_window;
};

class InstantMessageDisplayTest : public ::testing::Test {
protected:
    DrovickSettings m_settings;
    Window m_window;
    InstantMessageDisplay* m_displayPointer = nullptr;
    Opener m_opener{m_displayPointer, m_window};
    InstantMessageDisplay m_display{&m_settings, &m_opener};
    void SetUp() override { m_displayPointer = &m_display; }
};

TEST_F(InstantMessageDisplayTest, AReceivedMessageOpensTheWindowAndShowsLabelAndText) {
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "hi there", 0x00ff8080, 0x000000ff, false);
    EXPECT_EQ(m_opener.calls, 1);
    auto entries = m_window.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].shownText, "Bob: hi there");
    EXPECT_EQ(entries[0].senderLabel, "Bob");
    EXPECT_EQ(entries[0].address, "10.0.0.7");
    EXPECT_EQ(entries[0].bubbleColour, 0x00ff8080u);
    EXPECT_EQ(entries[0].textColour, 0x000000ffu);
    EXPECT_FALSE(entries[0].outgoing);
    EXPECT_TRUE(entries[0].CanReply());

    // An open window is not opened again.
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "again", 0, 0, false);
    EXPECT_EQ(m_opener.calls, 1);
    EXPECT_EQ(m_window.Entries().size(), 2u);
}

TEST_F(InstantMessageDisplayTest, AnEchoReadsToTheDestinationAndCannotBeAnswered) {
    m_display.ShowInstantMessage("127.0.0.1", "bob@example.com", "see you", 1, 2, true);
    auto entries = m_window.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].shownText, "To bob@example.com: see you");
    EXPECT_TRUE(entries[0].outgoing);
    EXPECT_FALSE(entries[0].CanReply());
}

TEST_F(InstantMessageDisplayTest, TheSendersLabelAndTextReachTheWindowHarmless) {
    m_display.ShowInstantMessage("10.0.0.7", "Bob\x1b[2J", "hi\x1b]0;x\x07\r\xc2\x9bm", 0, 0,
                                 false);
    auto entries = m_window.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].senderLabel, "Bob?[2J");
    EXPECT_EQ(entries[0].shownText, "Bob?[2J: hi?]0;x???m");
}

TEST_F(InstantMessageDisplayTest, WithPopUpOffAClosedWindowLosesTheMessageForGood) {
    m_settings.popUpOnReceipt = 0;
    m_settings.PublishOptions();
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "lost", 0, 0, false);
    EXPECT_EQ(m_opener.calls, 0);
    EXPECT_FALSE(m_display.IsOpen());
    // Opening the window later shows nothing of what came before.
    m_display.Register(&m_window);
    EXPECT_TRUE(m_window.Entries().empty());
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "kept", 0, 0, false);
    ASSERT_EQ(m_window.Entries().size(), 1u);
    EXPECT_EQ(m_window.Entries()[0].shownText, "Bob: kept");
}

TEST_F(InstantMessageDisplayTest, AWindowThatDoesNotOpenDropsTheMessage) {
    m_opener.opens = false;
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "nobody sees this", 0, 0, false);
    EXPECT_EQ(m_opener.calls, 1);
    EXPECT_TRUE(m_window.Entries().empty());
}

TEST_F(InstantMessageDisplayTest, AClosedWindowGetsNothingMore) {
    m_display.Register(&m_window);
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "one", 0, 0, false);
    Window other;
    // Only the registered window's own unregistration counts.
    m_display.Unregister(&other);
    EXPECT_TRUE(m_display.IsOpen());
    m_display.Unregister(&m_window);
    m_settings.popUpOnReceipt = 0;
    m_settings.PublishOptions();
    m_display.ShowInstantMessage("10.0.0.7", "Bob", "two", 0, 0, false);
    EXPECT_EQ(m_window.Entries().size(), 1u);
}

// A user-interface thread that runs what was posted only when told to.
class HeldQueue : public UserInterfaceQueue {
public:
    void Post(std::function<void()> work) override { m_work.push_back(std::move(work)); }
    void RunAll() {
        auto work = std::move(m_work);
        m_work.clear();
        for (auto& step : work)
            step();
    }

private:
    std::vector<std::function<void()>> m_work;
};

TEST(InstantMessageDisplayQueueTest, DeliveriesWaitForTheQueueAndDieWithTheDisplay) {
    DrovickSettings settings;
    Window window;
    HeldQueue queue;
    InstantMessageDisplay* displayPointer = nullptr;
    Opener opener(displayPointer, window);
    auto display = std::make_unique<InstantMessageDisplay>(&settings, &opener, &queue);
    displayPointer = display.get();

    display->ShowInstantMessage("10.0.0.7", "Bob", "first", 0, 0, false);
    // Nothing is opened or shown on the caller's thread.
    EXPECT_EQ(opener.calls, 0);
    EXPECT_TRUE(window.Entries().empty());
    queue.RunAll();
    EXPECT_EQ(opener.calls, 1);
    ASSERT_EQ(window.Entries().size(), 1u);
    EXPECT_EQ(window.Entries()[0].shownText, "Bob: first");

    // A delivery still queued when the display goes is dropped.
    display->ShowInstantMessage("10.0.0.7", "Bob", "late", 0, 0, false);
    display.reset();
    queue.RunAll();
    EXPECT_EQ(window.Entries().size(), 1u);
}

} // namespace
