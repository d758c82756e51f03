#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/shell/frame/MainFrame.h"
#include "app/shell/frame/ToolWindowKinds.h"
#include "app/shell/frame/WindowKinds.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <memory>

namespace {

// One start of the program's windows over one settings file: the registry,
// the main frame, and the kinds reopened from the file's flags.
struct FrameRun {
    explicit FrameRun(const std::filesystem::path& file) {
        settings.LoadSettings(file);
        RegisterToolWindowKinds(kinds, log);
        frame = std::make_unique<MainFrame>(settings, kinds, [] { return false; });
        frame->resize(1000, 700);
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
        kinds.ReopenFromFlags();
    }
    // The frame closed as the program ends, and the file written as it then is.
    void Exit(const std::filesystem::path& file) {
        frame->close();
        frame.reset();
        QVERIFY(settings.SaveSettings(file));
    }

    LogEvent log;
    DrovickSettings settings;
    WindowKinds kinds{settings};
    std::unique_ptr<MainFrame> frame;
};

// The text of the next message box, which is then closed.
QString NextMessageBoxText(const std::function<void()>& trigger) {
    QString text;
    QTimer::singleShot(0, [&text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            box->done(QMessageBox::Ok);
        }
    });
    trigger();
    return text;
}

} // namespace

class MainFrameGuiTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_home = std::make_unique<testsupport::TempDir>();
        m_environment = std::make_unique<testsupport::ScopedEnvironment>();
        m_environment->Set("HOME", m_home->Path().string());
        m_environment->Set("XDG_CONFIG_HOME", (m_home->Path() / "config").string());
        m_file = m_home->Path() / "Drovick.settings";
    }
    void cleanup() {
        m_environment.reset();
        m_home.reset();
    }

    void ToggleOpensAndUserCloseClearsTheFlag() {
        FrameRun run(m_file);
        QAction* toggle = run.kinds.Toggle(QStringLiteral("monitor"));
        QVERIFY(toggle && toggle->isEnabled());
        QVERIFY(!toggle->isChecked());
        toggle->trigger();
        QVERIFY(run.kinds.IsOpen(QStringLiteral("monitor")));
        QVERIFY(toggle->isChecked());
        QCOMPARE(run.settings.monitorOpen, 1);
        QCOMPARE(run.frame->Area()->subWindowList().size(), 1);
        // Toggling again, or the window's own close, closes it for good.
        toggle->trigger();
        QVERIFY(!run.kinds.IsOpen(QStringLiteral("monitor")));
        QVERIFY(!toggle->isChecked());
        QCOMPARE(run.settings.monitorOpen, 0);
        QMdiSubWindow* window = run.kinds.Open(QStringLiteral("monitor"));
        window->close();
        QTRY_COMPARE(run.settings.monitorOpen, 0);
        QVERIFY(!toggle->isChecked());
        QVERIFY(run.frame->Area()->subWindowList().isEmpty());
        // A second open of an open kind brings the same window forward.
        QMdiSubWindow* first = run.kinds.Open(QStringLiteral("monitor"));
        QCOMPARE(run.kinds.Open(QStringLiteral("monitor")), first);
    }

    void KindsNotBuiltYetAreDisabledNeverDeadClicks() {
        FrameRun run(m_file);
        for (const char* id : {"friends", "shared", "transfers", "messenger"}) {
            QAction* toggle = run.kinds.Toggle(QString::fromLatin1(id));
            QVERIFY2(toggle && !toggle->isEnabled(), id);
            QVERIFY(!run.kinds.Open(QString::fromLatin1(id)));
        }
        // Their flags, set by default, open nothing.
        QVERIFY(run.frame->Area()->subWindowList().isEmpty());
    }

    void OpenWindowsBarsAndPlacesSurviveARestart() {
        QRect placed;
        {
            FrameRun run(m_file);
            run.kinds.Open(QStringLiteral("monitor"))->setGeometry(40, 50, 300, 200);
            placed = run.kinds.Open(QStringLiteral("monitor"))->geometry();
            run.frame->Command(QStringLiteral("toolbar"))->trigger();
            run.frame->Command(QStringLiteral("statusbar"))->trigger();
            QVERIFY(run.frame->findChild<QToolBar*>(QStringLiteral("MainToolBar"))->isHidden());
            run.Exit(m_file);
            // Exiting with the window open keeps it open for the next start.
            QCOMPARE(run.settings.monitorOpen, 1);
        }
        {
            FrameRun run(m_file);
            QVERIFY(run.kinds.IsOpen(QStringLiteral("monitor")));
            QCOMPARE(run.frame->Area()->subWindowList().first()->geometry(), placed);
            QVERIFY(run.frame->findChild<QToolBar*>(QStringLiteral("MainToolBar"))->isHidden());
            QVERIFY(!run.frame->Command(QStringLiteral("toolbar"))->isChecked());
            QVERIFY(!run.frame->Command(QStringLiteral("statusbar"))->isChecked());
            QCOMPARE(run.settings.toolbarVisible, 0);
            QCOMPARE(run.settings.statusBarVisible, 0);
            // Closed by the user, then the program ends: closed next time.
            run.kinds.Close(QStringLiteral("monitor"));
            run.frame->Command(QStringLiteral("toolbar"))->trigger();
            run.Exit(m_file);
        }
        {
            FrameRun run(m_file);
            QVERIFY(!run.kinds.IsOpen(QStringLiteral("monitor")));
            QVERIFY(run.frame->Command(QStringLiteral("toolbar"))->isChecked());
            QVERIFY(!run.frame->findChild<QToolBar*>(QStringLiteral("MainToolBar"))->isHidden());
        }
    }

    void SavedPlaceOutsideTheAreaIsPulledBackInside() {
        DrovickSettings seed;
        seed.monitorOpen = 1;
        seed.monitorRect = {-100, 5000, 200, 5150};
        QVERIFY(seed.SaveSettings(m_file));
        FrameRun run(m_file);
        QMdiArea* area = run.frame->Area();
        const QRect geometry = area->subWindowList().first()->geometry();
        QCOMPARE(geometry, QRect(0, area->viewport()->height() - 20, 300, 150));
    }

    void FriendCommandsWithoutTheLibraryExplainThemselves() {
        FrameRun run(m_file);
        QCOMPARE(
            NextMessageBoxText([&] { run.frame->Command(QStringLiteral("addFriend"))->trigger(); }),
            QStringLiteral("Halvara has not been initialized;\ncannot add a friend."));
        QCOMPARE(
            NextMessageBoxText([&] { run.frame->Command(QStringLiteral("identity"))->trigger(); }),
            QStringLiteral("Halvara has not been initialized;\ncannot change your identity."));
    }

    void WithoutANotificationAreaTheWindowShowsEvenWhenAskedNotTo() {
        // The offscreen platform has no notification area: hiding the window
        // would leave a program nobody can reach.
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        FrameRun run(m_file);
        run.frame->hide();
        run.settings.showMainWindowOnStart = 0;
        run.frame->ShowAtStart();
        QVERIFY(run.frame->isVisible());
    }

    void ExitFromTheNotificationAreaEndsTheProgramOnce() {
        // The window hidden in the notification area, as SIGTERM or the tray
        // menu's "E&xit" find it, still ends the program and keeps the flags.
        FrameRun run(m_file);
        run.kinds.Open(QStringLiteral("monitor"));
        run.frame->hide();
        QSignalSpy exit(run.frame.get(), &MainFrame::ExitRequested);
        run.frame->Exit();
        run.frame->Exit();
        QCOMPARE(exit.count(), 1);
        QCOMPARE(run.settings.monitorOpen, 1);
    }

private:
    std::unique_ptr<testsupport::TempDir> m_home;
    std::unique_ptr<testsupport::ScopedEnvironment> m_environment;
    std::filesystem::path m_file;
};

QTEST_MAIN(MainFrameGuiTest)
#include "MainFrameGuiTest.moc"
