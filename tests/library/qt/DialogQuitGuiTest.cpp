// Quitting the application while a library dialog is open for another thread:
// the dialog goes and the waiting thread gets "cancelled". A program of its
// own, as the application stays quit afterwards.

#include "DialogDriver.h"
#include "HalvaraClient.h"
#include "ScriptedPresence.h"
#include "UserMessages.h"
#include "support/TestSupport.h"

#include <QPointer>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

using namespace dialogdriver;

namespace {

TEST(DialogQuitGuiTest, QuittingCancelsTheOpenDialogAndAnswersTheWaitingThread) {
    testsupport::TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    setenv("HALVSERVE_PATH", "/bin/true", 1);
    int argc = 1;
    char name[] = "DialogQuitGuiTest";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QWidget window;
    window.show();

    ScriptedPresence script;
    script.directory["ben@example.org"] = {42, "b3n"};
    FakeService service(script.Handler());
    auto messages = MakeUserMessages();
    HalvaraClient client(*messages);
    client.SetParentWindow(reinterpret_cast<HalvaraWindow>(&window));

    Caller caller([&] { return client.Add("Drovick", "", 155); });
    QPointer<QWidget> dialog;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!dialog && widget->isVisible() && widget->objectName() == "NewFriendDialog") {
                dialog = widget;
                // A friend found and OK enabled: quitting still adds nobody.
                Type(widget, "eMail", "ben@example.org");
                Button(widget, "Find")->click();
            }
        }
        if (dialog && Button(dialog, "OK")->isEnabled()) {
            poll.stop();
            QApplication::quit();
        }
    });
    poll.start(10);
    QTimer::singleShot(kLimit, [] { QApplication::exit(1); });
    ASSERT_EQ(app.exec(), 0) << "the dialog never showed";

    EXPECT_EQ(caller.Answer(), 0);
    EXPECT_TRUE(Sent(service, kCmdAdd).empty());
    // The rejected dialog deletes itself once its deletion is delivered.
    QApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());

    // Once quitting, no dialog is shown and nobody waits.
    Caller later([&] { return client.ChangeIdentity(); });
    EXPECT_EQ(later.Answer(), 0);
    EXPECT_TRUE(NoWindowShows("ChangeIdentityDialog"));
}

} // namespace
