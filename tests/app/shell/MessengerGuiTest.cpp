// The instant messenger window between two users on loopback addresses, each
// with a real message server, a display handing messages to the
// user-interface thread, and the window the display opens on receipt.

#include "ShellGuiTestSupport.h"
#include "app/files/DrovickSettings.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/messages/InstantMessageServer.h"
#include "app/shell/messenger/BubbleDelegate.h"
#include "app/shell/messenger/MessageSending.h"
#include "app/shell/messenger/MessengerModel.h"
#include "app/shell/messenger/MessengerView.h"
#include "support/TestSupport.h"
#include "tools/SearchNetwork.h"

#include <QFontMetrics>
#include <QPainter>
#include <QScrollBar>
#include <QStaticText>
#include <QTest>
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>

using namespace std::chrono_literals;

namespace {

class FixedName : public OwnNameSource {
public:
    explicit FixedName(std::string name)
        : m_name(std::move(name)) {}
    bool OwnName(std::string& name) override {
        name = m_name;
        return true;
    }

private:
    std::string m_name;
};

// One user: settings, the display with the program's queue and opener, the
// message server on the user's address and, while open, the window.
class ChatUser : private UserInterfaceQueue, private InstantMessengerOpener {
public:
    ChatUser(std::string address, std::string name)
        : m_address(std::move(address))
        , m_name(std::move(name)) {}
    ~ChatUser() {
        if (m_server)
            m_server->Stop(true);
        m_window.reset();
    }

    void Start() {
        setenv("HALVARA_ADDRESS", m_address.c_str(), 1);
        m_port = testsupport::FreeTcpPort(m_address);
        m_server = std::make_unique<InstantMessageServer>(
            &m_display, m_port, PeerServer::Timing{3, 100ms, 5000ms},
            InstantMessageServer::Limits{});
        ASSERT_TRUE(m_server->Start());
        ASSERT_TRUE(testsupport::WaitFor([&] { return m_server->IsListening(); }, 10s));
        unsetenv("HALVARA_ADDRESS");
    }

    void SetColours(std::uint32_t bubble, std::uint32_t text) {
        m_settings.messageBubbleColour = bubble;
        m_settings.messageTextColour = text;
        m_settings.PublishOptions();
    }
    void SetPopUp(bool on) {
        m_settings.popUpOnReceipt = on ? 1 : 0;
        m_settings.PublishOptions();
    }

    MessengerView& OpenWindow() {
        OpenMessenger();
        return *m_window;
    }
    MessengerView* Window() const { return m_window.get(); }
    void CloseWindow() { m_window.reset(); }

    MessageSend Sender(const ChatUser& to) {
        InstantMessageSendContext context;
        context.ownName = &m_ownName;
        context.settings = &m_settings;
        context.display = &m_display;
        context.port = to.m_port;
        context.localAddress = m_address;
        return MakeMessageSend(context);
    }

    const std::string& Address() const { return m_address; }
    int Port() const { return m_port; }
    int Received() const { return m_server->ReceivedCount(); }

private:
    void Post(std::function<void()> work) override {
        QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
    }
    void OpenMessenger() override {
        if (m_window)
            return;
        m_window = std::make_unique<MessengerView>(m_display, nullptr);
        m_window->resize(360, 300);
        m_window->show();
    }

    std::string m_address;
    std::string m_name;
    FixedName m_ownName{m_name};
    DrovickSettings m_settings;
    InstantMessageDisplay m_display{&m_settings, this, this};
    std::unique_ptr<MessengerView> m_window;
    std::unique_ptr<InstantMessageServer> m_server;
    int m_port = 0;
};

int Rows(const ChatUser& user) {
    return user.Window() ? user.Window()->Model().rowCount() : 0;
}

void DoubleClickRow(MessengerView& view, int row) {
    const QRect rect = view.visualRect(view.Model().index(row));
    const QPoint inside(BubbleDelegate::kLeft + 4, rect.center().y());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, inside);
}

class MessengerGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }
    void SetUp() override {
        m_alice.Start();
        m_bob.Start();
        m_alice.SetColours(0x0080ff80, 0x00202020);
        m_bob.SetColours(0x00ffc0a0, 0x00600000);
    }

    ChatUser m_alice{"127.0.0.2", "Alice"};
    ChatUser m_bob{"127.0.0.3", "Bob"};
};

TEST_F(MessengerGuiTest, AMessageArrivesInTheOtherWindowInItsColoursAndOnlyItCanBeAnswered) {
    MessengerView& aliceWindow = m_alice.OpenWindow();
    // Bob's window is closed: pop-up on receipt opens it for the message.
    ASSERT_TRUE(m_alice.Sender(m_bob)(QString::fromStdString(m_bob.Address()),
                                      QStringLiteral("lunch at one?"), QStringLiteral("Bob")));
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Rows(m_bob) == 1 && Rows(m_alice) == 1; }));

    const MessengerModel& received = m_bob.Window()->Model();
    const QModelIndex bubble = received.index(0);
    EXPECT_EQ(bubble.data().toString(), QStringLiteral("Alice: lunch at one?"));
    EXPECT_EQ(bubble.data(MessengerModel::BubbleColourRole).value<QColor>(), QColor(0x80, 0xff, 0x80));
    EXPECT_EQ(bubble.data(MessengerModel::TextColourRole).value<QColor>(), QColor(0x20, 0x20, 0x20));
    EXPECT_EQ(bubble.data(MessengerModel::AddressRole).toString(), QStringLiteral("127.0.0.2"));

    const MessengerModel& echoed = aliceWindow.Model();
    EXPECT_EQ(echoed.index(0).data().toString(), QStringLiteral("To Bob: lunch at one?"));
    EXPECT_EQ(echoed.index(0).data(MessengerModel::AddressRole).toString(),
              QStringLiteral("127.0.0.1"));

    QStringList replies;
    const auto watch = [&replies](const QString& address, const QString& label) {
        replies << address + QStringLiteral(" ") + label;
    };
    aliceWindow.SetReplyHandler(watch);
    m_bob.Window()->SetReplyHandler(watch);
    DoubleClickRow(aliceWindow, 0);
    EXPECT_TRUE(replies.isEmpty()) << "an own echo was answered";
    DoubleClickRow(*m_bob.Window(), 0);
    EXPECT_EQ(replies, QStringList{QStringLiteral("127.0.0.2 Alice")});

    // The conversation goes on in both colour pairs, for the screenshot.
    ASSERT_TRUE(m_bob.Sender(m_alice)(QString::fromStdString(m_alice.Address()),
                                      QStringLiteral("Yes! At the usual place by the river?"),
                                      QStringLiteral("Alice")));
    ASSERT_TRUE(m_alice.Sender(m_bob)(QString::fromStdString(m_bob.Address()),
                                      QStringLiteral("Perfect, see you there."), QStringLiteral("Bob")));
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Rows(m_bob) == 3; }));
    shelltest::Screenshot(*m_bob.Window(), QStringLiteral("messenger"));
}

bool Printable(const QString& text) {
    return std::none_of(text.begin(), text.end(),
                        [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

TEST_F(MessengerGuiTest, BrokenRecordsThroughTheServerAreDroppedOrShownCut) {
    MessengerView& bobWindow = m_bob.OpenWindow();
    // One byte short of a record: nothing to show.
    const std::string whole = searchnetwork::MessageBytes("Eve", "one byte short");
    ASSERT_TRUE(searchnetwork::SendRaw(m_bob.Address(), m_bob.Port(), whole.substr(0, 647)));
    // A whole record of bytes that are no text and end nowhere.
    std::string noise(searchnetwork::kMessageSize, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>(1 + i % 255);
    ASSERT_TRUE(searchnetwork::SendRaw(m_bob.Address(), m_bob.Port(), noise));
    // A sender that fills its field without a terminator.
    std::string longSender = searchnetwork::MessageBytes("", "hi");
    longSender.replace(0, 125, std::string(125, 'S'));
    ASSERT_TRUE(searchnetwork::SendRaw(m_bob.Address(), m_bob.Port(), longSender));

    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Rows(m_bob) == 2; }));
    QTest::qWait(300);
    ASSERT_EQ(Rows(m_bob), 2);
    // Each record came on its own connection, served concurrently: either may
    // be shown first.
    const int senderRow =
        bobWindow.Model().index(0).data().toString().startsWith(QLatin1Char('S')) ? 0 : 1;
    const QString shownNoise = bobWindow.Model().index(1 - senderRow).data().toString();
    EXPECT_TRUE(Printable(shownNoise)) << shownNoise.toStdString();
    EXPECT_LE(shownNoise.size(), 124 + 2 + 511);
    const QString shownSender = bobWindow.Model().index(senderRow).data().toString();
    EXPECT_EQ(shownSender, QString(124, QLatin1Char('S')) + QStringLiteral(": hi"));
    // Both are painted, and the window still takes a message.
    EXPECT_FALSE(bobWindow.grab().isNull());
    ASSERT_TRUE(m_alice.Sender(m_bob)(QString::fromStdString(m_bob.Address()),
                                      QStringLiteral("still here"), {}));
    EXPECT_TRUE(shelltest::ProcessUntil([&] { return Rows(m_bob) == 3; }));
}

TEST_F(MessengerGuiTest, ALongMessageIsCutAndTheViewFollowsOnlyAReaderAtTheNewest) {
    MessengerView& bobWindow = m_bob.OpenWindow();
    const MessageSend send = m_alice.Sender(m_bob);
    const QString to = QString::fromStdString(m_bob.Address());
    const QString longText(600, QLatin1Char('x'));
    ASSERT_TRUE(send(to, longText, {}));
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Rows(m_bob) == 1; }));
    EXPECT_EQ(bobWindow.Model().index(0).data().toString(),
              QStringLiteral("Alice: ") + QString(511, QLatin1Char('x')));

    // Enough bubbles to scroll; a reader at the newest follows the next one.
    for (int i = 0; i < 30; ++i)
        bobWindow.AppendMessage({"Alice: line " + std::to_string(i), "Alice", "127.0.0.2",
                                 0x00ffffff, 0, false});
    QScrollBar* bar = bobWindow.verticalScrollBar();
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return bar->maximum() > 0; }));
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return bar->value() == bar->maximum(); }));
    const int endBefore = bar->maximum();
    ASSERT_TRUE(send(to, QStringLiteral("newest"), {}));
    ASSERT_TRUE(shelltest::ProcessUntil(
        [&] { return bar->maximum() > endBefore && bar->value() == bar->maximum(); }));

    // A reader who scrolled back keeps the place.
    bar->setValue(0);
    ASSERT_TRUE(send(to, QStringLiteral("while reading"), {}));
    ASSERT_TRUE(shelltest::ProcessUntil([&] { return Rows(m_bob) == 33; }));
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(MessengerGuiTest, WithPopUpOffAMessageForAClosedWindowIsLost) {
    m_bob.SetPopUp(false);
    ASSERT_TRUE(m_alice.Sender(m_bob)(QString::fromStdString(m_bob.Address()),
                                      QStringLiteral("anyone there?"), {}));
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_bob.Received() == 1; }, 10s));
    // Whatever was posted for it has run by now.
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(m_bob.Window(), nullptr);
    MessengerView& opened = m_bob.OpenWindow();
    QApplication::processEvents();
    EXPECT_EQ(opened.Model().rowCount(), 0);
}

} // namespace

namespace {

std::vector<InstantMessageEntry> Messages(int count, const std::string& prefix) {
    std::vector<InstantMessageEntry> entries;
    for (int i = 0; i < count; ++i)
        entries.push_back({prefix + std::to_string(i), "Alice", "127.0.0.2", 0x00ffffff, 0, false});
    return entries;
}

// Paints the row as a view of that width would.
void PaintRow(const BubbleDelegate& delegate, const MessengerModel& model, int row, int width) {
    QImage image(width, 80, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, width, 80);
    delegate.paint(&painter, option, model.index(row));
}

std::string LaidOut(const MessengerModel& model, int row, int viewWidth) {
    const QStaticText* laid = model.CachedLayout(row, BubbleDelegate::TextWidth(viewWidth));
    return laid != nullptr ? laid->text().toStdString() : "(none)";
}

} // namespace

TEST(MessengerLayoutTest, APaintedRowKeepsItsOwnLaidOutTextUntilTheWidthChangesOrItIsTrimmed) {
    shelltest::Application();
    MessengerModel model;
    const BubbleDelegate delegate(model);
    model.Append({{"Alice: <b>not bold</b>", "Alice", "127.0.0.2", 0x00ffffff, 0, false}});
    model.Append(Messages(2, "Bob: "));
    for (int row = 0; row < 3; ++row)
        PaintRow(delegate, model, row, 400);
    ASSERT_EQ(LaidOut(model, 0, 400), "Alice: <b>not bold</b>");
    EXPECT_EQ(model.CachedLayout(0, BubbleDelegate::TextWidth(400))->textFormat(), Qt::PlainText);
    EXPECT_EQ(LaidOut(model, 2, 400), "Bob: 1");

    // A text too long for one line breaks where it was measured to, so the
    // drawn lines fill the bubble exactly, none past its bottom.
    model.Append({{"Alice: " + std::string(40, 'w') + " and words that wrap in a narrow window",
                   "Alice", "127.0.0.2", 0x00ffffff, 0, false}});
    const QStyleOptionViewItem narrow = [] {
        QStyleOptionViewItem option;
        option.rect = QRect(0, 0, 150, 80);
        return option;
    }();
    const int last = model.rowCount() - 1;
    const int measured = delegate.sizeHint(narrow, model.index(last)).height() -
                         2 * BubbleDelegate::kPadding - BubbleDelegate::kGap;
    PaintRow(delegate, model, last, 150);
    const QStaticText* wrapped = model.CachedLayout(last, BubbleDelegate::TextWidth(150));
    ASSERT_NE(wrapped, nullptr);
    EXPECT_GT(measured, 2 * QFontMetrics(BubbleDelegate::TextFont()).height());
    EXPECT_EQ(qRound(wrapped->size().height()), measured);
    for (int row = 0; row < 3; ++row)
        PaintRow(delegate, model, row, 400);

    // Another width lays the text out anew and forgets the old width's.
    EXPECT_EQ(LaidOut(model, 1, 300), "(none)");
    PaintRow(delegate, model, 1, 300);
    EXPECT_EQ(LaidOut(model, 1, 300), "Bob: 0");
    EXPECT_EQ(LaidOut(model, 2, 400), "(none)");

    // Trimming the oldest row moves every row up; each keeps its own layout.
    model.Append(Messages(static_cast<int>(MessengerModel::kCapacity) - 3, "Carol: "));
    EXPECT_EQ(LaidOut(model, 0, 300), "Bob: 0");
    EXPECT_EQ(LaidOut(model, 1, 300), "(none)");

    // Painting through the whole history keeps only the newest layouts.
    const int rows = model.rowCount();
    for (int row = 0; row < rows; ++row)
        PaintRow(delegate, model, row, 300);
    const int kept = static_cast<int>(MessengerModel::kLaidOutCapacity);
    EXPECT_EQ(LaidOut(model, rows - kept - 1, 300), "(none)");
    EXPECT_EQ(LaidOut(model, rows - kept, 300), model.index(rows - kept).data().toString().toStdString());
    EXPECT_EQ(LaidOut(model, rows - 1, 300), model.index(rows - 1).data().toString().toStdString());
}
