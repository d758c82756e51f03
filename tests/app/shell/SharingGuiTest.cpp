// The sharing dialog and the shared directory list against the program's own
// services: four real servers on a loopback address, the settings file, and
// drovick-peer asking for shares over the message bus.

#include "ShellGuiTestSupport.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/session/PeerServices.h"
#include "app/session/PresenceSession.h"
#include "app/shell/sharing/ShareEditor.h"
#include "app/shell/sharing/SharedDirectoryListView.h"
#include "app/shell/sharing/SharedFolderListModel.h"
#include "app/shell/sharing/SharingPropertiesDialog.h"
#include "support/TestSupport.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;

namespace {

constexpr char kAddress[] = "127.0.0.6";

// What a dialog showed when it opened.
struct Shown {
    bool privateChecked = false;
    bool sharedChecked = false;
    bool enabled = false;
    QString message;
    QString directory;
};

// Waits for the sharing dialog to show, reads it, picks a choice (or none)
// and presses OK or Cancel.
void AnswerSharingDialog(Shown& shown, const char* choice, bool ok, const QString& picture = {}) {
    QTimer::singleShot(0, [&shown, choice, ok, picture] {
        QWidget* modal = nullptr;
        if (!shelltest::ProcessUntil(
                [&] { return (modal = QApplication::activeModalWidget()) != nullptr; }))
            return;
        auto* dialog = qobject_cast<SharingPropertiesDialog*>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        auto* privateChoice = dialog->findChild<QRadioButton*>(QStringLiteral("Private"));
        auto* sharedChoice = dialog->findChild<QRadioButton*>(QStringLiteral("Shared"));
        shown.privateChecked = privateChoice->isChecked();
        shown.sharedChecked = sharedChoice->isChecked();
        shown.enabled = privateChoice->isEnabled() && sharedChoice->isEnabled();
        shown.message = dialog->findChild<QLabel*>(QStringLiteral("Message"))->text();
        shown.directory = dialog->findChild<QLabel*>(QStringLiteral("Directory"))->text();
        if (choice)
            dialog->findChild<QRadioButton*>(QString::fromLatin1(choice))->click();
        if (!picture.isEmpty())
            shelltest::Screenshot(*dialog, picture);
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        buttons->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
}

} // namespace

class SharingGuiTest : public QObject {
    Q_OBJECT

    testsupport::ScopedEnvironment m_environment;
    testsupport::TempDir m_home;
    fs::path m_files;
    LogEvent m_log;
    // Never started: the presence network is not asked.
    PresenceSession m_presence;
    std::unique_ptr<PeerServices> m_services;
    std::unique_ptr<InstantMessageDisplay> m_display;
    std::unique_ptr<ShareEditor> m_editor;
    PeerServerPorts m_ports{};

    // What a friend's computer gets when it lists the folder over the network.
    FolderListing PeerListing(const fs::path& folder) {
        RemoteFileSystem remote(kAddress, nullptr, nullptr, m_ports.remoteFileSystem);
        return remote.ListFolder(folder.string() + "/*");
    }

    std::shared_ptr<ShareTable> Table() { return m_services->Settings().GetShareTable(); }

    // The shares as the settings file holds them.
    std::vector<std::string> SavedShares() {
        DrovickSettings saved;
        if (!saved.LoadSettings(m_services->SettingsPath()))
            return {};
        return saved.GetShareTable()->Entries();
    }

    static QStringList Rows(const SharedFolderListModel& model) {
        QStringList rows;
        for (int row = 0; row < model.rowCount(); ++row)
            rows << model.index(row).data().toString();
        return rows;
    }

private slots:
    void initTestCase() {
        m_environment.Set("XDG_RUNTIME_DIR", m_home.Path().string());
        m_environment.Set("XDG_CONFIG_HOME", (m_home.Path() / "config").string());
        m_environment.Set("HOME", m_home.Path().string());
        m_environment.Set("HALVARA_ADDRESS", kAddress);
        m_files = fs::canonical(m_home.Path()) / "files";
        for (const char* folder : {"music/live", "photos", "books"})
            fs::create_directories(m_files / folder);
        std::ofstream(m_files / "music" / "song.mp3") << "la la la";

        m_ports.remoteFileSystem = testsupport::FreeTcpPort(kAddress);
        m_ports.search = m_ports.remoteFileSystem + 1;
        m_ports.transfer = m_ports.remoteFileSystem + 2;
        m_ports.messenger = m_ports.remoteFileSystem + 3;
        m_ports.searchResult = m_ports.remoteFileSystem + 4;
        m_services = std::make_unique<PeerServices>("drovick");
        std::string text;
        QCOMPARE(m_services->TakeGuard(text), PeerServices::Guard::Taken);
        QVERIFY(m_services->LoadSettings(text) || text.empty());
        m_display = std::make_unique<InstantMessageDisplay>(&m_services->Settings(), nullptr);
        QVERIFY(m_services->Start(m_log, *m_display, m_presence, m_ports, nullptr));
        QVERIFY(testsupport::WaitFor(
            [&] {
                return m_services->StateOf(PeerServerKind::RemoteFileSystem) ==
                       PeerServerState::Listening;
            },
            std::chrono::seconds(10)));
        m_editor = std::make_unique<ShareEditor>(*m_services);
    }

    void cleanupTestCase() {
        m_editor.reset();
        m_services->Stop();
        m_services.reset();
    }

    // Shared in the dialog, a peer lists the folder at its next request and the
    // list shows it; unshared from the list's own command, both see that too.
    void sharingInTheDialogReachesAPeerAtOnceAndTheList() {
        SharedDirectoryListView list(Table(), *m_editor);
        list.show();
        const fs::path music = m_files / "music";
        QVERIFY(!PeerListing(music).Listed());

        Shown shown;
        AnswerSharingDialog(shown, "Shared", true, QStringLiteral("sharing-dialog"));
        QVERIFY(SharingPropertiesDialog::Run(&list, music.string(), *m_editor));
        QVERIFY(shown.privateChecked && shown.enabled && shown.message.isEmpty());
        QCOMPARE(shown.directory, QString::fromStdString(music.string()));

        const FolderListing listing = PeerListing(music);
        QVERIFY(listing.Listed());
        QCOMPARE(listing.entries.size(), std::size_t{2});
        QCOMPARE(SavedShares(), std::vector<std::string>{music.string() + "/"});
        QTRY_COMPARE_WITH_TIMEOUT(Rows(list.Model()),
                                  QStringList{QString::fromStdString(music.string())}, 10000);
        shelltest::Screenshot(list, QStringLiteral("shared-directory-list"));

        // OK on what the folder already is changes nothing.
        AnswerSharingDialog(shown, nullptr, true);
        QVERIFY(!list.EditSharing(list.Model().index(0)));
        QVERIFY(shown.sharedChecked && shown.enabled);

        AnswerSharingDialog(shown, "Private", true);
        QVERIFY(list.EditSharing(list.Model().index(0)));
        QVERIFY(!PeerListing(music).Listed());
        QVERIFY(SavedShares().empty());
        QTRY_COMPARE_WITH_TIMEOUT(Rows(list.Model()), QStringList{}, 10000);
    }

    // Never-shared folders and a folder covered by an ancestor's share lock
    // the choice, say why, and OK changes nothing.
    void refusedAndAncestorSharedFoldersAreLocked() {
        const std::string notShareable = SharingPropertiesDialog::kNotShareable;
        const std::string config = (m_home.Path() / "config" / "drovick").string();
        for (const std::string& folder : {std::string("/"), std::string("/usr/share"), config}) {
            Shown shown;
            AnswerSharingDialog(shown, "Shared", true,
                                folder == "/usr/share" ? QStringLiteral("sharing-dialog-refused")
                                                       : QString());
            QVERIFY(!SharingPropertiesDialog::Run(nullptr, folder, *m_editor));
            QVERIFY2(shown.privateChecked && !shown.enabled, folder.c_str());
            QCOMPARE(shown.message.toStdString(), notShareable);
        }

        std::string error;
        QVERIFY(m_editor->SetShared((m_files / "photos").string(), true, error));
        // A listed subfolder of a share, shown shared but locked.
        const std::string inside = (m_files / "photos" / "2024").string();
        Shown shown;
        AnswerSharingDialog(shown, "Private", true);
        QVERIFY(!SharingPropertiesDialog::Run(nullptr, inside, *m_editor));
        QVERIFY(shown.sharedChecked && !shown.enabled);
        QCOMPARE(shown.message.toStdString(),
                 std::string(SharingPropertiesDialog::kAncestorShared));
        QVERIFY(Table()->IsShareRoot((m_files / "photos").string()));
        QVERIFY(m_editor->SetShared((m_files / "photos").string(), false, error));
        QCOMPARE(Table()->GetCount(), 0);
    }

    // A share asked over the message bus reaches the open list, and a share
    // made in the window before it survives: the bus's change starts from the
    // settings file, which the window saved.
    void listFollowsAShareMadeOverTheMessageBus() {
        SharedDirectoryListView list(Table(), *m_editor);
        std::string error;
        QVERIFY(m_editor->SetShared((m_files / "books").string(), true, error));
        QTRY_COMPARE_WITH_TIMEOUT(list.Model().rowCount(), 1, 10000);

        testsupport::ChildProcess share(testsupport::BuildBin("drovick-peer"),
                                        {"share", (m_files / "music").string()});
        QCOMPARE(share.Wait(std::chrono::seconds(20)), 0);
        QTRY_COMPARE_WITH_TIMEOUT(
            Rows(list.Model()),
            (QStringList{QString::fromStdString((m_files / "books").string()),
                         QString::fromStdString((m_files / "music").string())}),
            10000);
        QVERIFY(PeerListing(m_files / "music").Listed());
        QVERIFY(PeerListing(m_files / "books").Listed());
        QVERIFY(m_editor->SetShared((m_files / "books").string(), false, error));
        QVERIFY(m_editor->SetShared((m_files / "music").string(), false, error));
    }
};

QTEST_MAIN(SharingGuiTest)
#include "SharingGuiTest.moc"
