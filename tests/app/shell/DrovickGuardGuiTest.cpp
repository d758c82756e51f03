#include "ProgramUser.h"
#include "app/session/PeerServices.h"
#include "app/shell/frame/DrovickApplication.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cstdlib>

// An address no other test serves on, so a listening server is this program's.
constexpr const char* kAddress = "127.0.0.84";

// drovick and `drovick-peer serve` never serve one user at once: a drovick that
// finds serve holding the guard says which program holds it and ends.
class DrovickGuardGuiTest : public QObject {
    Q_OBJECT
public:
    explicit DrovickGuardGuiTest(DrovickApplication& application)
        : m_application(application) {}

private slots:
    void ServeHoldingTheGuardIsNamedAndDrovickEnds() {
        testsupport::ChildProcess serve(testsupport::BuildBin("drovick-peer"), {"serve"});
        const int port = PeerServerPorts::Defaults().remoteFileSystem;
        QVERIFY2(testsupport::WaitFor(
                     [port] {
                         return testsupport::CanConnect(kAddress, port,
                                                        std::chrono::milliseconds(200));
                     },
                     std::chrono::seconds(10)),
                 serve.Output().c_str());
        QString shown;
        QTimer dismiss;
        connect(&dismiss, &QTimer::timeout, [&shown] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->close();
            }
        });
        dismiss.start(100);
        QCOMPARE(m_application.Run(), 1);
        QVERIFY(m_application.Frame() == nullptr);
        QVERIFY2(shown.contains(QStringLiteral("drovick-peer serve, process %1").arg(serve.Pid())),
                 qPrintable(shown));
        // serve keeps serving.
        QVERIFY(serve.Running());
    }

private:
    DrovickApplication& m_application;
};

int main(int argc, char** argv) {
    testsupport::TempDir home;
    PrepareProgramUser(home.Path(), kAddress);
    DrovickApplication application(argc, argv);
    DrovickGuardGuiTest test(application);
    return QTest::qExec(&test, argc, argv);
}

#include "DrovickGuardGuiTest.moc"
