// The library's dialogs as a user meets them: opened by the client's calls on
// a thread of their own, shown by the Qt plugin on the user-interface thread,
// and talking to a scripted presence service over the real bridge.

#include "DialogDriver.h"
#include "HalvaraClient.h"
#include "ScriptedPresence.h"
#include "UserMessages.h"
#include "platform/MessageBus.h"
#include "support/TestSupport.h"

#include <QDesktopServices>
#include <QListView>
#include <QTimer>
#include <QUrl>
#include <QWizard>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

// Font configuration keeps a cache for the life of the process, which the leak
// checker of the sanitizer build would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

using namespace dialogdriver;

// Takes the addresses QDesktopServices hands to the browser.
class BrowserStandIn : public QObject {
    Q_OBJECT
public:
    QStringList opened;
public slots:
    void Open(const QUrl& url) { opened << url.toString(); }
};

namespace {

class LibraryDialogsGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "LibraryDialogsGuiTest";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
    }

    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        // The scripted service plays halvserve; nothing is launched.
        setenv("HALVSERVE_PATH", "/bin/true", 1);
        setenv("HALVARA_DIRECTORY", ("127.0.0.1:" + std::to_string(m_directory.Port())).c_str(), 1);
        m_window.setWindowTitle("Application");
        m_window.show();
    }

    // The service from the script as it stands and a client without a parent window.
    void StartWithoutParent() {
        m_service = std::make_unique<FakeService>(m_script.Handler());
        m_client = std::make_unique<HalvaraClient>(*m_messages);
    }

    // The same with the parent window set (the script holds no system message).
    void Start() {
        StartWithoutParent();
        m_client->SetParentWindow(Parent());
    }

    HalvaraWindow Parent() { return reinterpret_cast<HalvaraWindow>(&m_window); }

    // Fills page 1 of the wizard and goes on to page 2.
    static void FillFirstPage(QWidget* wizard, const QString& name, const QString& eMail,
                              const QString& password, const QString& confirmation) {
        Type(wizard, "name", name);
        Type(wizard, "eMail", eMail);
        Type(wizard, "password", password);
        Type(wizard, "confirmation", confirmation);
    }

    static QAbstractButton* WizardButton(QWidget* wizard, QWizard::WizardButton which) {
        auto* asWizard = qobject_cast<QWizard*>(wizard);
        return asWizard ? asWizard->button(which) : nullptr;
    }

    // Page 2 once its verdict on the ID came back (the wait cursor is gone).
    static bool VerdictShown(QWidget* wizard) {
        return WaitUntil([&] {
            auto* asWizard = qobject_cast<QWizard*>(wizard);
            return asWizard && asWizard->currentId() == 1 &&
                   wizard->cursor().shape() != Qt::WaitCursor;
        });
    }

    static QApplication* s_app;
    testsupport::TempDir m_runtime;
    ListeningPort m_directory;
    QWidget m_window;
    ScriptedPresence m_script;
    std::unique_ptr<UserMessages> m_messages = MakeUserMessages();
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<HalvaraClient> m_client;
};
QApplication* LibraryDialogsGuiTest::s_app = nullptr;

TEST_F(LibraryDialogsGuiTest, NewFriendFindsTheTrimmedAddressAndAddsTheFriendFound) {
    m_script.directory["ben@example.org"] = {42, "b3n"};
    Start();
    Caller caller([&] { return m_client->Add("Drovick", "http://drovick.example", 155); });

    QWidget* dialog = WaitForWindow("NewFriendDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "New friend");
    EXPECT_EQ(dialog->parentWidget(), &m_window);
    EXPECT_FALSE(dialog->windowIcon().isNull());
    EXPECT_EQ(TextOf(dialog, "status"), "Type in your friend's e-mail address and click Find.");
    EXPECT_FALSE(Button(dialog, "OK")->isEnabled());

    Type(dialog, "eMail", "  ben@example.org \t");
    ASSERT_TRUE(Click(Button(dialog, "Find")));
    ASSERT_TRUE(WaitUntil([&] { return Button(dialog, "OK")->isEnabled(); }));
    EXPECT_EQ(TextOf(dialog, "status"), "Found!  Click OK to add your friend.");
    ASSERT_EQ(Sent(*m_service, kCmdLookupID).size(), 1u);
    EXPECT_EQ(Sent(*m_service, kCmdLookupID)[0].TextAt(4), "ben@example.org");

    ASSERT_TRUE(Click(Button(dialog, "OK")));
    EXPECT_EQ(caller.Answer(), 1);
    const auto added = Sent(*m_service, kCmdAdd);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].I32At(4), 42);
    EXPECT_EQ(added[0].I32At(8), 1);
}

TEST_F(LibraryDialogsGuiTest, NewFriendOffersAnInvitationForAnUnknownAddressAndAddsNobody) {
    Start();
    Caller caller([&] { return m_client->Add("Drovick", "http://drovick.example", 155); });
    QWidget* dialog = WaitForWindow("NewFriendDialog");
    ASSERT_NE(dialog, nullptr);

    // Declined once: nothing is sent.
    Type(dialog, "eMail", " nobody@example.org ");
    ASSERT_TRUE(Click(Button(dialog, "Find")));
    QMessageBox* question = WaitForMessageBox();
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->windowTitle(), "Could not find your friend.");
    EXPECT_EQ(question->text(), "Would you like to send your friend an invitation?");
    EXPECT_EQ(question->icon(), QMessageBox::Question);
    EXPECT_EQ(TextOf(dialog, "status"),
              "Could not find your friend.  You can invite your friend to join.");
    EXPECT_FALSE(Button(dialog, "OK")->isEnabled());
    question->button(QMessageBox::No)->click();
    ASSERT_TRUE(WaitUntil([&] { return Button(dialog, "Find")->isEnabled(); }));
    EXPECT_TRUE(Sent(*m_service, kCmdSendInvitation).empty());

    // Accepted: the invitation names the typed address and the application.
    ASSERT_TRUE(Click(Button(dialog, "Find")));
    question = WaitForMessageBox();
    ASSERT_NE(question, nullptr);
    question->button(QMessageBox::Yes)->click();
    ASSERT_TRUE(WaitUntil([&] { return Sent(*m_service, kCmdSendInvitation).size() == 1; }));
    const BridgeRecord invitation = Sent(*m_service, kCmdSendInvitation)[0];
    EXPECT_EQ(invitation.TextAt(4), "nobody@example.org");
    EXPECT_EQ(invitation.TextAt(132), "Drovick");
    EXPECT_EQ(invitation.TextAt(260), "http://drovick.example");
    EXPECT_EQ(invitation.I32At(388), 155);
    ASSERT_TRUE(WaitUntil([&] { return Button(dialog, "Cancel")->isEnabled(); }));

    ASSERT_TRUE(Click(Button(dialog, "Cancel")));
    EXPECT_EQ(caller.Answer(), 0);
    EXPECT_TRUE(Sent(*m_service, kCmdAdd).empty());
}

TEST_F(LibraryDialogsGuiTest, AWaitingCommandLeavesTheWindowLiveAndBusy) {
    m_script.directory["ben@example.org"] = {42, "b3n"};
    std::atomic<bool> release{false};
    // Even a failed check lets the service go on, or it could never stop.
    struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag = true; }
    } releaseAtEnd{release};
    m_script.beforeAnswer = [&](const BridgeRecord& request) {
        while (request.Code() == kCmdLookupID && !release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    Start();
    Caller caller([&] { return m_client->Add("Drovick", "", 155); });
    QWidget* dialog = WaitForWindow("NewFriendDialog");
    ASSERT_NE(dialog, nullptr);
    Type(dialog, "eMail", "ben@example.org");
    ASSERT_TRUE(Click(Button(dialog, "Find")));

    // While the service holds its answer back the window shows it is busy, and
    // the user-interface thread keeps serving its timers.
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap{};
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, now - last);
        last = now;
    });
    ticks.start(10);
    WaitUntil([] { return false; }, std::chrono::milliseconds(1000));
    EXPECT_EQ(dialog->cursor().shape(), Qt::WaitCursor);
    EXPECT_FALSE(Button(dialog, "Find")->isEnabled());
    EXPECT_FALSE(Button(dialog, "OK")->isEnabled());
    EXPECT_LT(longestGap, std::chrono::milliseconds(500));
    std::printf("longest pause of the user-interface thread while the service waited: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count()));

    release = true;
    ASSERT_TRUE(WaitUntil([&] { return Button(dialog, "OK")->isEnabled(); }));
    EXPECT_NE(dialog->cursor().shape(), Qt::WaitCursor);
    ASSERT_TRUE(Click(Button(dialog, "OK")));
    EXPECT_EQ(caller.Answer(), 1);
}

TEST_F(LibraryDialogsGuiTest, ADialogAskedForOnTheUserInterfaceThreadRunsThereModally) {
    Start();
    // Called right here: the dialog runs in a nested loop, and the script runs in it.
    bool seen = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = WaitForWindow("NewFriendDialog");
        seen = dialog != nullptr;
        if (dialog)
            Button(dialog, "Cancel")->click();
    });
    EXPECT_EQ(m_client->Add("Drovick", "", 155), 0);
    EXPECT_TRUE(seen);

    // Without a parent window no dialog is shown at all.
    m_client->SetParentWindow(nullptr);
    EXPECT_EQ(m_client->Add("Drovick", "", 155), 0);
    EXPECT_EQ(m_client->AddIdentity(), 0);
    EXPECT_EQ(m_client->ChangeIdentity(), 0);
    EXPECT_TRUE(NoWindowShows("NewFriendDialog"));
}

TEST_F(LibraryDialogsGuiTest, RegisterWizardTakesANewAddressAndSendsTheRegistrationSequence) {
    Start();
    Caller caller([&] { return m_client->AddIdentity(); });
    QWidget* wizard = WaitForWindow("RegisterWizard");
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(wizard->windowTitle(), "Register ID");

    // Page 1 allows only Next.
    EXPECT_FALSE(WizardButton(wizard, QWizard::NextButton)->isEnabled());
    EXPECT_FALSE(WizardButton(wizard, QWizard::FinishButton)->isVisible());
    // A confirmation that differs by trailing blanks matches.
    FillFirstPage(wizard, "Ann Smith", " ann@example.org ", "s3cret", "s3cret  ");
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::NextButton)));
    ASSERT_TRUE(VerdictShown(wizard));
    QWidget* page = qobject_cast<QWizard*>(wizard)->currentPage();
    EXPECT_EQ(TextOf(page, "name"), "Ann Smith");
    EXPECT_EQ(TextOf(page, "eMail"), "ann@example.org");
    EXPECT_EQ(TextOf(page, "passwordVerdict"), "Passwords match.  Make sure you write it down.");
    EXPECT_EQ(TextOf(page, "idVerdict"), "");

    const std::size_t beforeFinish = m_service->RequestCount();
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::FinishButton)));
    EXPECT_EQ(caller.Answer(), 1);

    // Taken, looked up, then created, made active, and the profile sent (the
    // service is asked to write its table at the end).
    std::vector<int> codes = Codes(*m_service);
    EXPECT_EQ(std::vector<int>(codes.begin() + 1, codes.begin() + beforeFinish),
              (std::vector<int>{kCmdIsIdentityTaken, kCmdLookupID}));
    EXPECT_EQ(
        std::vector<int>(codes.begin() + beforeFinish, codes.end()),
        (std::vector<int>{kCmdAddIdentity, kCmdSetIdentity, kCmdSetMyProfile, kCmdFlushData}));
    const BridgeRecord created = Sent(*m_service, kCmdAddIdentity)[0];
    EXPECT_EQ(created.TextAt(4), "Ann Smith");
    EXPECT_EQ(created.TextAt(132), "s3cret");
    EXPECT_EQ(Sent(*m_service, kCmdSetIdentity)[0].I32At(4), 0);
    const BridgeRecord profile = Sent(*m_service, kCmdSetMyProfile)[0];
    EXPECT_EQ(profile.TextAt(4 + 256), "ann@example.org");
    EXPECT_EQ(profile.TextAt(4 + 384), "s3cret");
}

TEST_F(LibraryDialogsGuiTest, RegisterWizardVerdictsKeepFinishOffUntilTheIdMayBeTaken) {
    m_script.directory["taken@example.org"] = {77, "theirs"};
    m_script.identities = {{"mine@example.org", "pw"}};
    Start();
    Caller caller([&] { return m_client->AddIdentity(); });
    QWidget* wizard = WaitForWindow("RegisterWizard");
    ASSERT_NE(wizard, nullptr);
    struct Case {
        const char* eMail;
        const char* password;
        const char* confirmation;
        const char* label;
        const char* verdict;
        bool finish;
    };
    const Case cases[] = {
        {"taken@example.org", "mine", "mine", "idVerdict",
         "This ID (e-mail address) has already been registered.  Your passwords do not match; "
         "you cannot take this identity, you must use a different e-mail address",
         false},
        {"fresh@example.org", "one", "two", "passwordVerdict", "Passwords do not match", false},
        // Already one of this user's identities, though the passwords match.
        {"mine@example.org", "pw", "pw", "idVerdict",
         "You have already used this e-mail address for an identity; you should just switch to "
         "the identity designated by this e-mail.",
         false},
        // The registered ID's own password: it may be claimed (the last case, finished below).
        {"taken@example.org", "theirs", "theirs", "idVerdict",
         "This ID (e-mail address) has already been registered.  Your passwords do, however, "
         "match; you can proceed and register this identity for yourself",
         true},
    };
    auto* asWizard = qobject_cast<QWizard*>(wizard);
    auto finishEnabled = [&] { return WizardButton(wizard, QWizard::FinishButton)->isEnabled(); };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.eMail);
        if (asWizard->currentId() == 1) {
            ASSERT_TRUE(Click(WizardButton(wizard, QWizard::BackButton)));
        }
        FillFirstPage(wizard, "Ann", test.eMail, test.password, test.confirmation);
        ASSERT_TRUE(Click(WizardButton(wizard, QWizard::NextButton)));
        ASSERT_TRUE(VerdictShown(wizard));
        EXPECT_EQ(TextOf(asWizard->currentPage(), test.label), test.verdict);
        if (test.finish)
            EXPECT_TRUE(WaitUntil(finishEnabled));
        else
            EXPECT_FALSE(finishEnabled());
    }
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::FinishButton)));
    EXPECT_EQ(caller.Answer(), 1);
    const auto claims = Sent(*m_service, kCmdClaimID);
    ASSERT_EQ(claims.size(), 1u);
    EXPECT_EQ(claims[0].I32At(4), 77);
    EXPECT_EQ(claims[0].TextAt(8), "theirs");
}

TEST_F(LibraryDialogsGuiTest, WithoutTheDirectoryNoWizardShowsAndTheStartFailsWithItsMessage) {
    m_script.registered = false;
    setenv("HALVARA_DIRECTORY", ("127.0.0.1:" + std::to_string(testsupport::FreeTcpPort())).c_str(),
           1);
    Start();
    EXPECT_EQ(m_client->AddIdentity(), 0);
    EXPECT_TRUE(NoWindowShows("RegisterWizard"));

    // The start finds no registered identity, offers no wizard, and says so.
    Caller caller([&] { return m_client->Initialize(Parent(), 155); });
    QMessageBox* failure = WaitForMessageBox();
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->windowTitle(), "Halvara");
    EXPECT_TRUE(failure->text().startsWith("Cannot register Halvara; make sure\n"));
    EXPECT_TRUE(NoWindowShows("RegisterWizard"));
    failure->button(QMessageBox::Ok)->click();
    EXPECT_EQ(caller.Answer(), 0);
}

TEST_F(LibraryDialogsGuiTest, TheStartRegistersThroughTheWizardWhenTheIdentityIsNotRegistered) {
    m_script.registered = false;
    Start();
    Caller caller([&] { return m_client->Initialize(Parent(), 155); });
    QWidget* wizard = WaitForWindow("RegisterWizard");
    ASSERT_NE(wizard, nullptr);
    FillFirstPage(wizard, "Ann", "ann@example.org", "pw", "pw");
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::NextButton)));
    ASSERT_TRUE(VerdictShown(wizard));
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::FinishButton)));
    EXPECT_EQ(caller.Answer(), 1);
    const auto tos = Sent(*m_service, kCmdUpdateTOS);
    ASSERT_EQ(tos.size(), 1u);
    EXPECT_EQ(tos[0].I32At(4), 155);
    EXPECT_EQ(tos[0].I32At(8), 1);
}

TEST_F(LibraryDialogsGuiTest, SystemMessageOffersGoThereOnlyForAnHttpAddress) {
    BrowserStandIn browser;
    m_script.messageTitle = "News";
    m_script.messageText = "A new version is out.\nSee http://example.org/news?x=1 today";
    StartWithoutParent();
    // The message is shown as the parent window is set.
    Caller caller([&] { return m_client->SetParentWindow(Parent()) == nullptr ? 1 : 0; });
    QWidget* dialog = WaitForWindow("SystemMessageDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "News");
    EXPECT_EQ(TextOf(dialog, "message"), QString::fromStdString(m_script.messageText));

    // The address runs to the first blank; opening it failing gives its message.
    ASSERT_TRUE(Click(Button(dialog, "Go there!")));
    QMessageBox* failure = WaitForMessageBox();
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->windowTitle(), "Halvara");
    EXPECT_EQ(failure->text(), "An error occurred in opening your web browser");
    EXPECT_EQ(failure->icon(), QMessageBox::Critical);
    failure->button(QMessageBox::Ok)->click();
    QDesktopServices::setUrlHandler("http", &browser, "Open");
    ASSERT_TRUE(Click(Button(dialog, "Go there!")));
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(browser.opened, QStringList{"http://example.org/news?x=1"});
    ASSERT_TRUE(Click(Button(dialog, "OK")));
    EXPECT_EQ(caller.Answer(), 1);
}

TEST_F(LibraryDialogsGuiTest, SystemMessageWithoutAnHttpAddressHasNoGoThere) {
    m_script.messageTitle = "Maintenance";
    m_script.messageText = "The directory rests tonight; see www.example.org or https://x.example";
    StartWithoutParent();
    Caller caller([&] { return m_client->SetParentWindow(Parent()) == nullptr ? 1 : 0; });
    QWidget* dialog = WaitForWindow("SystemMessageDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Maintenance");
    EXPECT_EQ(Child<QAbstractButton>(dialog, "goThere"), nullptr);
    EXPECT_EQ(Button(dialog, "Go there!"), nullptr);
    ASSERT_TRUE(Click(Button(dialog, "OK")));
    EXPECT_EQ(caller.Answer(), 1);
}

TEST_F(LibraryDialogsGuiTest,
       ChangeIdentityListsByIndexRefusesDeletingTheActiveAndChecksThePassword) {
    m_script.identities = {{"ann@example.org", "a"}, {"", ""}, {"work@example.org", "w"}};
    m_script.active = 2;
    Start();
    auto rows = [](QWidget* dialog) {
        QStringList texts;
        auto* list = Child<QListView>(dialog, "identities");
        for (int row = 0; list && row < list->model()->rowCount(); ++row)
            texts << list->model()->index(row, 0).data().toString();
        return texts;
    };
    auto selected = [](QWidget* dialog) {
        return Child<QListView>(dialog, "identities")->currentIndex().data().toString();
    };

    Caller wrong([&] { return m_client->ChangeIdentity(); });
    QWidget* dialog = WaitForWindow("ChangeIdentityDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Change Identity");
    // The empty slot 1 is left out; the active identity is selected.
    ASSERT_TRUE(WaitUntil([&] { return rows(dialog).size() == 2; }));
    EXPECT_EQ(rows(dialog), (QStringList{"ann@example.org", "work@example.org"}));
    EXPECT_EQ(selected(dialog), "work@example.org");
    EXPECT_FALSE(Button(dialog, "OK")->isEnabled());

    ASSERT_TRUE(Click(Button(dialog, "Delete identity")));
    QMessageBox* refusal = WaitForMessageBox();
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(refusal->windowTitle(), "Delete identity");
    EXPECT_EQ(refusal->text(), "You cannot delete your own identity.");
    refusal->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(Sent(*m_service, kCmdDeleteIdentity).empty());

    auto* list = Child<QListView>(dialog, "identities");
    list->setCurrentIndex(list->model()->index(0, 0));
    ASSERT_TRUE(Click(Button(dialog, "Delete identity")));
    ASSERT_TRUE(WaitUntil([&] { return rows(dialog) == QStringList{"work@example.org"}; }));
    ASSERT_EQ(Sent(*m_service, kCmdDeleteIdentity).size(), 1u);
    EXPECT_EQ(Sent(*m_service, kCmdDeleteIdentity)[0].I32At(4), 0);

    // A wrong password: refused with its message after the dialog closed.
    Type(dialog, "password", "nope");
    ASSERT_TRUE(Click(Button(dialog, "OK")));
    QMessageBox* failure = WaitForMessageBox();
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->windowTitle(), "Change Identity");
    EXPECT_EQ(failure->text(),
              "Unable to change your identity.\nMake sure you typed your password correctly.");
    EXPECT_EQ(failure->parentWidget(), &m_window);
    failure->button(QMessageBox::Ok)->click();
    EXPECT_EQ(wrong.Answer(), 0);
    ASSERT_EQ(Sent(*m_service, kCmdSetIdentity).size(), 1u);
    EXPECT_EQ(Sent(*m_service, kCmdSetIdentity)[0].I32At(4), 2);
    EXPECT_EQ(Sent(*m_service, kCmdSetIdentity)[0].TextAt(8), "nope");

    // Only a change that took is announced to every application.
    auto receiver = platform::MessageReceiver::Create();
    EXPECT_FALSE(receiver->Receive(std::chrono::milliseconds(0)).has_value());
    Caller right([&] { return m_client->ChangeIdentity(); });
    dialog = WaitForWindow("ChangeIdentityDialog");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return rows(dialog).size() == 1; }));
    Type(dialog, "password", "w");
    ASSERT_TRUE(Click(Button(dialog, "OK")));
    EXPECT_EQ(right.Answer(), 1);
    const auto announced = receiver->Receive(std::chrono::milliseconds(2000));
    ASSERT_TRUE(announced.has_value());
    EXPECT_EQ(announced->number,
              platform::MessageBus::RegisterMessage(HalvaraClient::kUpdateContactsMessage));
}

TEST_F(LibraryDialogsGuiTest, ChangeIdentityNewIdentityRegistersAndClosesAsCancelled) {
    m_script.identities = {{"ann@example.org", "a"}};
    Start();
    Caller caller([&] { return m_client->ChangeIdentity(); });
    QWidget* dialog = WaitForWindow("ChangeIdentityDialog");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(Click(Button(dialog, "New identity...")));
    QWidget* wizard = WaitForWindow("RegisterWizard");
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(wizard->parentWidget(), dialog);
    FillFirstPage(wizard, "Ann at work", "work@example.org", "w", "w");
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::NextButton)));
    ASSERT_TRUE(VerdictShown(wizard));
    ASSERT_TRUE(Click(WizardButton(wizard, QWizard::FinishButton)));
    // The new identity is active already: no change of identity, no message.
    EXPECT_EQ(caller.Answer(), 0);
    EXPECT_TRUE(NoWindowShows("ChangeIdentityDialog"));
    ASSERT_EQ(Sent(*m_service, kCmdAddIdentity).size(), 1u);
    ASSERT_EQ(Sent(*m_service, kCmdSetIdentity).size(), 1u);
    EXPECT_EQ(Sent(*m_service, kCmdSetIdentity)[0].I32At(4), 1);
}

} // namespace

#include "LibraryDialogsGuiTest.moc"
