#include "app/shell/frame/SessionMessages.h"

#include "app/shell/frame/BackgroundCall.h"
#include "app/shell/frame/ExitSignals.h"
#include "platform/MessageBus.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

// What reaches the user-interface thread from outside: the registered messages
// on the session bus and the signals that end the program.
class SessionMessagesTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_runtime = std::make_unique<testsupport::TempDir>();
        m_environment = std::make_unique<testsupport::ScopedEnvironment>();
        m_environment->Set("XDG_RUNTIME_DIR", m_runtime->Path().string());
    }
    void cleanup() {
        m_environment.reset();
        m_runtime.reset();
    }

    // The exit order waits for calls still running off the window thread
    // (a message being sent uses the presence session and the settings).
    void TheExitCanWaitForBackgroundCalls() {
        std::atomic<bool> release{false};
        int answered = -1;
        QObject context;
        RunInBackground(
            &context,
            [&release] {
                while (!release.load())
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return 7;
            },
            [&answered](int result) { answered = result; });
        QVERIFY(!WaitForBackgroundCalls(std::chrono::milliseconds(100)));
        release = true;
        QVERIFY(WaitForBackgroundCalls(std::chrono::seconds(10)));
        QTRY_COMPARE_WITH_TIMEOUT(answered, 7, 10000);
    }

    void RegisteredMessagesBecomeSignals() {
        SessionMessages messages;
        QVERIFY(messages.Listening());
        QSignalSpy wakeUp(&messages, &SessionMessages::WakeUp);
        QSignalSpy messenger(&messages, &SessionMessages::DisplayMessenger);
        QSignalSpy contacts(&messages, &SessionMessages::UpdateContacts);
        QSignalSpy transfer(&messages, &SessionMessages::TransferDone);
        // A second program's wake-up, the library's and a stranger's message.
        QCOMPARE(SessionMessages::PostWakeUp(), 1);
        using platform::MessageBus;
        MessageBus::PostToAll(MessageBus::RegisterMessage(SessionMessages::kUpdateContacts));
        MessageBus::PostToAll(MessageBus::RegisterMessage("Somebody Else's Message"));
        MessageBus::PostToAll(MessageBus::RegisterMessage(SessionMessages::kDisplayMessenger));
        QTRY_COMPARE_WITH_TIMEOUT(messenger.count(), 1, 10000);
        QCOMPARE(wakeUp.count(), 1);
        QCOMPARE(contacts.count(), 1);
        QCOMPARE(transfer.count(), 0);
    }

    void TerminationSignalsAskForTheCloseOnTheEventLoop() {
        ExitSignals signals_;
        QVERIFY(signals_.Installed());
        QSignalSpy exit(&signals_, &ExitSignals::ExitRequested);
        raise(SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(exit.count(), 1, 10000);
        QCOMPARE(exit.first().first().toInt(), SIGTERM);
        raise(SIGINT);
        QTRY_COMPARE_WITH_TIMEOUT(exit.count(), 2, 10000);
    }

private:
    std::unique_ptr<testsupport::TempDir> m_runtime;
    std::unique_ptr<testsupport::ScopedEnvironment> m_environment;
};

QTEST_GUILESS_MAIN(SessionMessagesTest)
#include "SessionMessagesTest.moc"
