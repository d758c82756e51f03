// In a process with a QApplication the library's messages become message boxes
// owned by the application's window, even when a worker thread shows them.

#include "UserMessages.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

// Font configuration keeps a cache for the life of the process, which the leak
// checker of the sanitizer build would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

struct SeenBox {
    QString title;
    QString text;
    QWidget* parent = nullptr;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

// Closes the next modal message box (or the system message's dialog) as soon
// as it shows and notes what it held.
void CloseNextBox(SeenBox& seen) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, &seen] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen.title = box->windowTitle();
        if (auto* messageBox = qobject_cast<QMessageBox*>(box)) {
            seen.text = messageBox->text();
            seen.icon = messageBox->icon();
        } else if (auto* message = box->findChild<QLabel*>("message")) {
            seen.text = message->text();
        }
        seen.parent = box->parentWidget();
        seen.seen = true;
        box->done(QMessageBox::Ok);
        timer->stop();
        timer->deleteLater();
    });
    timer->start(20);
}

class QtMessagesGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "QtMessagesGuiTest";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
    }
    static QApplication* s_app;
};
QApplication* QtMessagesGuiTest::s_app = nullptr;

TEST_F(QtMessagesGuiTest, AnErrorIsAMessageBoxOwnedByTheParentWindow) {
    QWidget window;
    window.show();
    auto messages = MakeUserMessages();
    SeenBox seen;
    CloseNextBox(seen);
    messages->ShowError(reinterpret_cast<HalvaraWindow>(&window), "Something failed", "Halvara");
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "Halvara");
    EXPECT_EQ(seen.text, "Something failed");
    EXPECT_EQ(seen.parent, &window);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
}

TEST_F(QtMessagesGuiTest, AHandleThatIsNoWidgetMeansNoOwner) {
    int notAWidget = 0;
    auto messages = MakeUserMessages();
    SeenBox seen;
    CloseNextBox(seen);
    messages->ShowSystemMessage(reinterpret_cast<HalvaraWindow>(&notAWidget), "News",
                                "Visit http://example.org today");
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "News");
    EXPECT_EQ(seen.text, "Visit http://example.org today");
    EXPECT_EQ(seen.parent, nullptr);
}

TEST_F(QtMessagesGuiTest, AWorkerThreadsMessageShowsOnTheUserInterfaceThread) {
    auto messages = MakeUserMessages();
    SeenBox seen;
    CloseNextBox(seen);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        messages->ShowError(nullptr, "From a worker", "Severe error");
        done = true;
    });
    // The box is shown and closed by this thread's event loop.
    while (!done)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    worker.join();
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "Severe error");
    EXPECT_EQ(seen.text, "From a worker");
}

} // namespace
