// "&Update..." against a real halvdir: the number it publishes decides between
// the "New version" dialog and the latest-version message; failures say latest
// too, and the window keeps running while the check waits.

#include "ShellGuiTestSupport.h"
#include "app/shell/update/NewVersionDialog.h"
#include "app/shell/update/VersionCheck.h"
#include "app/shell/update/VersionFetch.h"
#include "support/TestSupport.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Stands in for the web browser: notes the address it was asked to open.
class BrowserStandIn : public QObject {
    Q_OBJECT
public:
    QUrl opened;
public slots:
    void Open(const QUrl& url) { opened = url; }
};

struct Answer {
    int newest = -2;
    QString caption;
    QString text;
    bool offeredNewVersion = false;
};

class VersionCheckGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shelltest::Application(); }

    void SetUp() override {
        m_port = testsupport::FreeTcpPort("127.0.0.3");
        m_host = "127.0.0.3:" + std::to_string(m_port);
        m_directory = std::make_unique<testsupport::ChildProcess>(
            testsupport::BuildBin("halvdir"),
            std::vector<std::string>{"serve", "--listen", m_host, "--db", Database(), "--threads",
                                     "2"});
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return testsupport::CanConnect("127.0.0.3", m_port, 200ms); }, 10s))
            << m_directory->Output();
        // The default address: the directory's /latestversion/drovick.
        m_environment.Set("HALVARA_DIRECTORY", m_host);
        m_environment.Set("DROVICK_UPDATE_URL", "");
    }

    std::string Database() const { return (m_temp.Path() / "directory.db").string(); }

    void Halvdir(const std::vector<std::string>& arguments) {
        std::vector<std::string> all = arguments;
        all.insert(all.end(), {"--db", Database()});
        testsupport::ChildProcess command(testsupport::BuildBin("halvdir"), all);
        ASSERT_EQ(command.Wait(10s), 0) << command.Output();
    }

    // Runs one check from a window and answers what it shows.
    Answer Check(bool goThere = false) {
        QWidget window;
        window.show();
        VersionCheck check;
        QSignalSpy finished(&check, &VersionCheck::Finished);
        check.Start(&window);
        Answer answer;
        EXPECT_TRUE(shelltest::ProcessUntil([&] { return finished.count() == 1; }));
        if (finished.count() != 1)
            return answer;
        answer.newest = finished.at(0).at(0).toInt();
        QWidget* shown = nullptr;
        EXPECT_TRUE(shelltest::ProcessUntil([&] {
            shown = QApplication::activeModalWidget();
            return shown != nullptr;
        }));
        if (shown == nullptr)
            return answer;
        EXPECT_EQ(shown->parentWidget(), &window);
        answer.caption = shown->windowTitle();
        shelltest::Screenshot(*shown, qobject_cast<QMessageBox*>(shown) ? "version-latest"
                                                                          : "version-new");
        if (auto* box = qobject_cast<QMessageBox*>(shown)) {
            answer.text = box->text();
            box->accept();
        } else if (auto* dialog = qobject_cast<NewVersionDialog*>(shown)) {
            answer.offeredNewVersion = true;
            if (goThere)
                dialog->findChild<QPushButton*>("goThere")->click();
            else
                dialog->reject();
        }
        QApplication::processEvents();
        return answer;
    }

    testsupport::TempDir m_temp;
    testsupport::ScopedEnvironment m_environment;
    int m_port = 0;
    std::string m_host;
    std::unique_ptr<testsupport::ChildProcess> m_directory;
};

TEST_F(VersionCheckGuiTest, ANewerPublishedVersionIsOfferedAndGoThereOpensTheProductPage) {
    Halvdir({"set-version", "1001"});
    BrowserStandIn browser;
    QDesktopServices::setUrlHandler("http", &browser, "Open");
    const Answer answer = Check(true);
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(answer.newest, 1001);
    EXPECT_TRUE(answer.offeredNewVersion);
    EXPECT_EQ(answer.caption, "New version");
    EXPECT_EQ(browser.opened, QUrl(QString::fromStdString("http://" + m_host + "/")));
}

TEST_F(VersionCheckGuiTest, TheSameVersionAFailureOrANonNumberSayLatest) {
    const QString latest = "You have the latest version of the software.";
    Halvdir({"set-version", "1000"});
    Answer answer = Check();
    EXPECT_EQ(answer.newest, 1000);
    EXPECT_EQ(answer.text, latest);
    EXPECT_EQ(answer.caption, "New version");

    // A page whose body is text, not a number.
    Halvdir({"sysmessage", "Beta 7", "Try the new build"});
    m_environment.Set("DROVICK_UPDATE_URL", "http://" + m_host + "/sysmessage");
    answer = Check();
    EXPECT_EQ(answer.newest, -1);
    EXPECT_EQ(answer.text, latest);

    // No version published: the directory answers 404.
    m_environment.Set("DROVICK_UPDATE_URL", "http://" + m_host + "/latestversion/other");
    EXPECT_EQ(Check().text, latest);

    // Nobody listens.
    m_environment.Set("DROVICK_UPDATE_URL",
                      "http://127.0.0.3:" + std::to_string(testsupport::FreeTcpPort("127.0.0.3")) +
                          "/latestversion/drovick");
    answer = Check();
    EXPECT_EQ(answer.newest, -1);
    EXPECT_EQ(answer.text, latest);
}

// A server that accepts and never answers: the window keeps running, a second
// click does nothing, and closing the program ends the check at once.
TEST_F(VersionCheckGuiTest, TheWindowNeverWaitsForTheCheck) {
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    ::inet_pton(AF_INET, "127.0.0.3", &address.sin_addr);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    m_environment.Set("DROVICK_UPDATE_URL",
                      "http://127.0.0.3:" + std::to_string(ntohs(address.sin_port)) + "/");

    QWidget window;
    auto check = std::make_unique<VersionCheck>();
    QSignalSpy finished(check.get(), &VersionCheck::Finished);
    check->Start(&window);
    check->Start(&window);
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(10);
    EXPECT_TRUE(shelltest::ProcessUntil([&] { return ticks >= 20; }));
    EXPECT_TRUE(check->IsRunning());
    EXPECT_EQ(finished.count(), 0);

    QElapsedTimer clock;
    clock.start();
    check.reset();
    EXPECT_LT(clock.elapsed(), 3000);
    ::close(silent);
}

TEST(VersionFetch, TakesTheLeadingNumberOfASuccessfulReply) {
    EXPECT_EQ(NewestVersionFrom(200, "1001\n"), 1001);
    EXPECT_EQ(NewestVersionFrom(200, " 1002 beta"), 1002);
    EXPECT_EQ(NewestVersionFrom(200, "v1001"), -1);
    EXPECT_EQ(NewestVersionFrom(200, ""), -1);
    EXPECT_EQ(NewestVersionFrom(200, "99999999999999"), -1);
    EXPECT_EQ(NewestVersionFrom(299, "1001"), 1001);
    EXPECT_EQ(NewestVersionFrom(300, "1001"), -1);
    EXPECT_EQ(NewestVersionFrom(404, "1001"), -1);
    EXPECT_EQ(ProductPage("http://127.0.0.1:8080/latestversion/drovick"),
              "http://127.0.0.1:8080/");
}

} // namespace

#include "VersionCheckGuiTest.moc"
