// The registration wizard and "New friend" against the real halvserve, which
// the library launches, and the real halvdir: the verdicts come from what the
// directory and the service really hold.

#include "DialogDriver.h"
#include "HalvaraClient.h"
#include "UserMessages.h"
#include "bridge/MemoryChannel.h"
#include "directory/HalvdirProcess.h"
#include "platform/SingleInstanceGuard.h"
#include "support/TestSupport.h"

#include <QWizard>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

using namespace dialogdriver;
using namespace std::chrono_literals;

namespace {

// The service and the directory answer over real sockets on a loaded machine.
constexpr std::chrono::seconds kServiceLimit{60};

// Processes that have the file open: the service the library launched is
// nobody's child here.
std::vector<pid_t> Holders(const std::filesystem::path& file) {
    std::vector<pid_t> holders;
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(process.path().filename().c_str()));
        if (pid <= 0 || pid == getpid())
            continue;
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fd.path(), linkError) == file) {
                holders.push_back(pid);
                break;
            }
        }
    }
    return holders;
}

class RealServiceDialogsGuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.Started());
        for (const char* folder : {"home", "config", "runtime"})
            std::filesystem::create_directories(m_root.Path() / folder);
        std::filesystem::permissions(m_root.Path() / "runtime", std::filesystem::perms::owner_all);
        const std::string host = "127.0.0.1:" + std::to_string(m_directory.Port());
        setenv("HOME", (m_root.Path() / "home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_root.Path() / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_root.Path() / "runtime").c_str(), 1);
        setenv("HALVARA_DIRECTORY", host.c_str(), 1);
        setenv("HALVARA_PROBE_HOSTS", host.c_str(), 1);
        setenv("HALVARA_ADDRESS", "127.0.0.71", 1);
        setenv("HALVSERVE_PATH", testsupport::BuildBin("halvserve").c_str(), 1);

        static int argc = 1;
        static char name[] = "RealServiceDialogsGuiTest";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
        m_window = std::make_unique<QWidget>();
        m_window->show();
        m_client = std::make_unique<HalvaraClient>(*m_messages);
        m_client->SetParentWindow(reinterpret_cast<HalvaraWindow>(m_window.get()));
    }

    void TearDown() override {
        m_client.reset();
        for (pid_t pid :
             Holders(m_root.Path() / "runtime" / "halvara" / "Quembly class Class.lock"))
            kill(pid, SIGKILL);
    }

    // Someone else's identity in the directory: an ID with a profile.
    int RegisterElsewhere(const std::string& eMail, const std::string& password) {
        const int id = halvdirtest::NewId(m_directory.Get("/cgi-bin/registerid"));
        m_directory.Get("/cgi-bin/updateinfo?" + std::to_string(id) + "+Someone+" + eMail + "+" +
                        password);
        return id;
    }

    // Fills page 1, goes on, and waits for the verdict; the verdict page.
    static QWidget* Verdicts(QWizard* wizard, const QString& eMail, const QString& password,
                             const QString& confirmation) {
        Type(wizard, "name", "Ann Smith");
        Type(wizard, "eMail", eMail);
        Type(wizard, "password", password);
        Type(wizard, "confirmation", confirmation);
        if (!Click(wizard->button(QWizard::NextButton)))
            return nullptr;
        const bool shown = WaitUntil(
            [&] { return wizard->currentId() == 1 && wizard->cursor().shape() != Qt::WaitCursor; },
            kServiceLimit);
        return shown ? wizard->currentPage() : nullptr;
    }

    testsupport::TempDir m_root;
    halvdirtest::HalvdirProcess m_directory{{"--threads", "2"}};
    std::unique_ptr<QApplication> m_app;
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<UserMessages> m_messages = MakeUserMessages();
    std::unique_ptr<HalvaraClient> m_client;
};

TEST_F(RealServiceDialogsGuiTest, TheWizardRegistersOnlyWhatMayBeTakenAndTheFriendIsFound) {
    const int theirs = RegisterElsewhere("taken@example.org", "theirs");
    ASSERT_GT(theirs, 0);

    Caller registration([&] { return m_client->AddIdentity(); });
    auto* wizard = qobject_cast<QWizard*>(WaitForWindow("RegisterWizard"));
    ASSERT_NE(wizard, nullptr);
    // Registered elsewhere with another password: Finish stays off.
    QWidget* page = Verdicts(wizard, "taken@example.org", "mine", "mine");
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(TextOf(page, "idVerdict").contains("Your passwords do not match"));
    EXPECT_FALSE(wizard->button(QWizard::FinishButton)->isEnabled());

    // A new address, its confirmation with a trailing blank: registered.
    ASSERT_TRUE(Click(wizard->button(QWizard::BackButton)));
    page = Verdicts(wizard, "ann@example.org", "s3cret", "s3cret ");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(TextOf(page, "idVerdict"), "");
    ASSERT_TRUE(Click(wizard->button(QWizard::FinishButton)));
    ASSERT_TRUE(WaitUntil([&] { return registration.Done(); }, kServiceLimit));
    EXPECT_EQ(registration.Answer(), 1);
    EXPECT_EQ(m_client->IsIdentityTaken("ann@example.org"), 1);
    const int mine = m_client->GetMyID();
    EXPECT_GT(mine, 0);
    EXPECT_NE(mine, theirs);

    // The address is one of this user's identities now: refused.
    Caller again([&] { return m_client->AddIdentity(); });
    wizard = qobject_cast<QWizard*>(WaitForWindow("RegisterWizard"));
    ASSERT_NE(wizard, nullptr);
    page = Verdicts(wizard, "ann@example.org", "s3cret", "s3cret");
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(TextOf(page, "idVerdict").startsWith("You have already used this e-mail address"));
    EXPECT_FALSE(wizard->button(QWizard::FinishButton)->isEnabled());
    ASSERT_TRUE(Click(wizard->button(QWizard::CancelButton)));
    EXPECT_EQ(again.Answer(), 0);

    // The other user, found by an address with blanks around it, becomes a friend.
    Caller adding([&] { return m_client->Add("Drovick", "", 155); });
    QWidget* dialog = WaitForWindow("NewFriendDialog");
    ASSERT_NE(dialog, nullptr);
    Type(dialog, "eMail", "  taken@example.org ");
    ASSERT_TRUE(Click(Button(dialog, "Find")));
    ASSERT_TRUE(WaitUntil([&] { return Button(dialog, "OK")->isEnabled(); }, kServiceLimit))
        << TextOf(dialog, "status").toStdString();
    ASSERT_TRUE(Click(Button(dialog, "OK")));
    ASSERT_TRUE(WaitUntil([&] { return adding.Done(); }, kServiceLimit));
    EXPECT_EQ(adding.Answer(), 1);
    std::vector<int> friends;
    for (int index = 0, id; (id = m_client->GetFriend(index)) >= 0 && index < 16; ++index)
        friends.push_back(id);
    EXPECT_NE(std::find(friends.begin(), friends.end(), theirs), friends.end());
}

} // namespace
