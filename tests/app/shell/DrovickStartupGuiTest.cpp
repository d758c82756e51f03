#include "ProgramUser.h"
#include "app/files/DrovickSettings.h"
#include "app/session/PeerServices.h"
#include "app/shell/frame/DrovickApplication.h"
#include "app/shell/frame/MainFrame.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <optional>

// The whole program in this process: its start-up order, a second drovick
// waking it, and SIGTERM running the exit order. The environment is made
// before the application object, which is the program's own.
namespace {

// An address no other test serves on, so the check that every server has
// stopped sees only this program's.
constexpr const char* kAddress = "127.0.0.81";

bool AllServersListen() {
    const PeerServerPorts ports = PeerServerPorts::Defaults();
    for (int port : {ports.remoteFileSystem, ports.search, ports.transfer, ports.messenger})
        if (!testsupport::CanConnect(kAddress, port, std::chrono::milliseconds(500)))
            return false;
    return true;
}

bool AnyServerListens() {
    const PeerServerPorts ports = PeerServerPorts::Defaults();
    for (int port : {ports.remoteFileSystem, ports.search, ports.transfer, ports.messenger})
        if (testsupport::CanConnect(kAddress, port, std::chrono::milliseconds(500)))
            return true;
    return false;
}

// Whether the four servers listened when the main window first showed.
class ShowWatch : public QObject {
public:
    std::optional<bool> serversAtShow;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && !serversAtShow &&
            watched->objectName() == QStringLiteral("MainFrame"))
            serversAtShow = AllServersListen();
        return false;
    }
};

} // namespace

class DrovickStartupGuiTest : public QObject {
    Q_OBJECT
public:
    DrovickStartupGuiTest(DrovickApplication& application, std::filesystem::path home)
        : m_application(application)
        , m_home(std::move(home)) {}

private slots:
    void StartsInOrderWakesOnSecondStartAndEndsOnSigterm() {
        DrovickSettings seed;
        seed.showMainWindowOnStart = 1;
        seed.monitorOpen = 1;
        seed.toolbarVisible = 0;
        const auto file = DrovickSettings::LocationOf();
        std::filesystem::create_directories(file.parent_path());
        QVERIFY(seed.SaveSettings(file));

        ShowWatch watch;
        m_application.installEventFilter(&watch);
        // The library's start may ask the user something (no directory
        // answers here); nobody answers in a test, so its questions are
        // dismissed instead of holding the event loop.
        QTimer dismiss;
        QObject::connect(&dismiss, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        dismiss.start(200);
        bool woken = false;
        int secondExit = -2;
        QTimer::singleShot(0, [&] {
            MainFrame* frame = m_application.Frame();
            QVERIFY(frame && frame->isVisible());
            // A second drovick finds the guard taken, wakes this one and ends.
            frame->hide();
            testsupport::ChildProcess second(testsupport::BuildBin("drovick"), {});
            woken = QTest::qWaitFor([frame] { return frame->isVisible(); }, 10000);
            secondExit = second.Wait(std::chrono::seconds(10));
            if (secondExit != 0)
                qWarning("second drovick: %s", second.Output().c_str());
            // Something to save: the bars as the user left them.
            frame->Command(QStringLiteral("statusbar"))->trigger();
            raise(SIGTERM);
        });
        const int code = m_application.Run();
        m_application.removeEventFilter(&watch);

        QCOMPARE(code, 0);
        QVERIFY(watch.serversAtShow.has_value());
        QVERIFY2(*watch.serversAtShow, "a server was not listening when the window showed");
        QCOMPARE(secondExit, 0);
        QVERIFY(woken);
        // The exit order ran: the settings saved with the monitor kept open
        // and the bars as they were, the servers stopped.
        DrovickSettings saved;
        QVERIFY(saved.LoadSettings(file));
        QCOMPARE(saved.monitorOpen, 1);
        QCOMPARE(saved.toolbarVisible, 0);
        QCOMPARE(saved.statusBarVisible, 0);
        QVERIFY(!AnyServerListens());
    }

private:
    DrovickApplication& m_application;
    std::filesystem::path m_home;
};

int main(int argc, char** argv) {
    testsupport::TempDir home;
    PrepareProgramUser(home.Path(), kAddress);
    DrovickApplication application(argc, argv);
    DrovickStartupGuiTest test(application, home.Path());
    const int failures = QTest::qExec(&test, argc, argv);
    if (application.MustEndAtOnce())
        std::_Exit(failures);
    return failures;
}

#include "DrovickStartupGuiTest.moc"
