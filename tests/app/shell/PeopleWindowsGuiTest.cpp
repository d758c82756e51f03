// The friends list and the messenger plugged into the main frame: their
// toggles work once plugged in, and the toolbar's send button follows the
// presence library's start.

#include "ShellGuiTestSupport.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/session/PresenceSession.h"
#include "app/shell/frame/MainFrame.h"
#include "app/shell/frame/SessionMessages.h"
#include "app/shell/frame/ToolWindowKinds.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/friends/FriendsListView.h"
#include "app/shell/friends/PeopleWindows.h"
#include "app/shell/messenger/MessengerView.h"

#include <QAction>
#include <gtest/gtest.h>

namespace {

TEST(PeopleWindowsGuiTest, TheWindowsOpenFromTheirTogglesAndSendingWaitsForThePresenceStart) {
    shelltest::Application();
    LogEvent log;
    DrovickSettings settings;
    WindowKinds kinds(settings);
    RegisterToolWindowKinds(kinds, log);
    MainFrame frame(settings, kinds, [] { return false; });
    SessionMessages messages;
    InstantMessageDisplay display(&settings, nullptr);
    PresenceSession presence; // never started: the library is not initialised
    auto* people = new PeopleWindows(kinds, frame, messages, display, presence, settings);
    frame.show();

    QAction* send = frame.Command(QStringLiteral("sendMessage"));
    ASSERT_NE(send, nullptr);
    EXPECT_FALSE(send->isEnabled());
    people->PresenceAnswered(true);
    EXPECT_TRUE(send->isEnabled());
    people->PresenceAnswered(false);
    EXPECT_FALSE(send->isEnabled());

    for (const char* id : {"friends", "messenger"}) {
        QAction* toggle = kinds.Toggle(QString::fromLatin1(id));
        ASSERT_TRUE(toggle && toggle->isEnabled()) << id;
        toggle->trigger();
        EXPECT_TRUE(kinds.IsOpen(QString::fromLatin1(id))) << id;
    }
    EXPECT_NE(qobject_cast<FriendsListView*>(kinds.ContentOf(QStringLiteral("friends"))), nullptr);
    // The open messenger is the display's window.
    EXPECT_TRUE(display.IsOpen());
    // The list waits for the library; a contacts update finds it waiting.
    emit messages.UpdateContacts();
    kinds.Close(QStringLiteral("friends"));
    kinds.Close(QStringLiteral("messenger"));
    // A closed window is deleted by the event loop and leaves the display.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(display.IsOpen());
}

} // namespace
