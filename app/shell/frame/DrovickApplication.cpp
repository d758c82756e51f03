#include "app/shell/frame/DrovickApplication.h"

#include "app/explorer/ExplorerWindows.h"
#include "app/explorer/ExplorerWorker.h"
#include "app/files/DrovickSettings.h"
#include "app/peer/transfer/TransferQueueFile.h"
#include "app/shell/copy/CopyOrMove.h"
#include "app/shell/copy/CopyQuestions.h"
#include "app/shell/dialogs/ChooseTargetComputerDialog.h"
#include "app/shell/dialogs/ComputerOpening.h"
#include "app/shell/frame/BackgroundCall.h"
#include "app/shell/frame/ExitSignals.h"
#include "app/shell/frame/MainFrame.h"
#include "app/shell/frame/SessionMessages.h"
#include "app/shell/frame/SingleInstance.h"
#include "app/shell/frame/ToolWindowKinds.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/friends/PeopleWindows.h"
#include "app/shell/sharing/ShareEditor.h"
#include "app/shell/sharing/SharedDirectoryListView.h"
#include "app/shell/sharing/SharingPropertiesDialog.h"
#include "app/shell/transfers/TransferAgent.h"
#include "app/shell/update/VersionFetch.h"
#include "app/shell/search/SearchCommand.h"
#include "library/halvara.h"
#include "platform/Environment.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QStatusBar>
#include <chrono>
#include <cstdio>
#include <thread>

DrovickApplication::DrovickApplication(int& argc, char** argv)
    : QApplication(argc, argv)
    , m_services(SingleInstance::kProgramName) {
    setApplicationName(QStringLiteral("Drovick"));
    // The program lives on in the notification area with its window hidden;
    // it ends through the main frame's close path only.
    setQuitOnLastWindowClosed(false);
}

DrovickApplication::~DrovickApplication() {
    ShutDown();
}

int DrovickApplication::Run() {
    std::string holder;
    const SingleInstance::Outcome outcome = SingleInstance::Claim(m_services, holder);
    if (outcome == SingleInstance::Outcome::WokeRunning)
        return 0;
    if (outcome != SingleInstance::Outcome::First) {
        QMessageBox::critical(nullptr, QStringLiteral("Drovick"),
                              SingleInstance::Refusal(outcome, holder));
        return 1;
    }
    if (!StartUp())
        return 1;
    const int code = exec();
    ShutDown();
    return code;
}

bool DrovickApplication::StartUp() {
    // Window kinds before the settings, so that the file's flags meet a registry.
    m_kinds = std::make_unique<WindowKinds>(m_services.Settings());
    RegisterToolWindowKinds(*m_kinds, m_log);
    m_shareEditor = std::make_unique<ShareEditor>(m_services);
    m_kinds->SetFactory(QStringLiteral("shared"), [this]() -> QWidget* {
        return new SharedDirectoryListView(m_services.Settings().GetShareTable(), *m_shareEditor);
    });
    m_transferAgent = std::make_unique<TransferAgent>(
        *m_kinds, m_services.Settings(), &m_presence, TransferDownloadOptions{},
        DrovickSettings::LocationOf(kTransferQueueFileName));

    std::string error;
    if (!m_services.LoadSettings(error) && !error.empty())
        std::fprintf(stderr, "drovick: %s; the rest of the settings are the defaults\n",
                     error.c_str());

    InstantMessengerOpener* opener = this;
    UserInterfaceQueue* queue = this;
    PeerServicesObserver* observer = this;
    m_display = std::make_unique<InstantMessageDisplay>(&m_services.Settings(), opener, queue);
    if (!m_services.Start(m_log, *m_display, m_presence, PeerServerPorts::Defaults(), observer)) {
        QMessageBox::critical(nullptr, QStringLiteral("Drovick"),
                              QStringLiteral("Drovick could not start its servers."));
        m_services.Stop();
        return false;
    }

    m_frame = std::make_unique<MainFrame>(m_services.Settings(), *m_kinds,
                                          [this] { return PresenceInitialized(); });
    connect(m_frame.get(), &MainFrame::ExitRequested, this, &QCoreApplication::quit,
            Qt::QueuedConnection);
    m_frame->SetPresenceText(QStringLiteral("Presence: starting"));
    ConnectSearchCommand(*m_frame->Command(QStringLiteral("search")), m_frame.get(),
                         {&m_presence, &m_log, &m_services.Settings(), m_transferAgent.get()});
    UpdateServersPane();

    m_messages = std::make_unique<SessionMessages>();
    connect(m_messages.get(), &SessionMessages::WakeUp, m_frame.get(), &MainFrame::ShowAndRaise);
    connect(m_messages.get(), &SessionMessages::DisplayMessenger, this,
            [this] { m_kinds->Open(QStringLiteral("messenger")); });
    m_people = new PeopleWindows(*m_kinds, *m_frame, *m_messages, *m_display, m_presence,
                                 m_services.Settings());
    m_exitSignals = std::make_unique<ExitSignals>();
    connect(m_exitSignals.get(), &ExitSignals::ExitRequested, m_frame.get(), &MainFrame::Exit);

    StartPresenceThread();
    m_kinds->ReopenFromFlags();
    StartExplorers();
    m_frame->ShowAtStart();
    return true;
}

void DrovickApplication::StartPresenceThread() {
    // The window start: Halvara_Initialize with the main window as the owner
    // of what the library shows, then the anonymous acquaintances.
    m_presence.SetParentWindow(m_frame.get());
    m_presence.StartInBackground([this](bool) {
        Post([this] {
            if (m_people)
                m_people->PresenceAnswered(PresenceInitialized());
            if (m_frame)
                m_frame->SetPresenceText(PresenceInitialized()
                                             ? QStringLiteral("Presence: online")
                                             : QStringLiteral("Presence: not initialized"));
        });
    });
}

void DrovickApplication::StartExplorers() {
    DrovickSettings& settings = m_services.Settings();
    m_copyQuestions = std::make_unique<MessageBoxCopyQuestions>(m_frame.get());
    m_copyOrMove = std::make_unique<CopyOrMove>(*m_copyQuestions, *m_transferAgent);
    ExplorerContext context;
    context.log = &m_log;
    context.icons = &settings.GetIconCache();
    context.shares = settings.GetShareTable();
    context.presence = &m_presence;
    context.transfer = [this](const ExplorerTransfer& transfer, std::function<void(int)> done) {
        m_copyOrMove->Start({transfer.sourceComputer, transfer.sourcePath, transfer.targetComputer,
                             transfer.targetPath, transfer.move},
                            std::move(done));
    };
    context.downloadFolder = [&settings] {
        return settings.downloadDirectory.empty()
                   ? QFile::encodeName(QDir::homePath())
                   : QByteArray::fromStdString(settings.downloadDirectory);
    };
    context.sharing = [this](QWidget* parent, const std::string& folder) {
        return SharingPropertiesDialog::Run(parent, folder, *m_shareEditor);
    };
    m_explorers = std::make_unique<ExplorerWindows>(
        context, settings, m_frame->Area(),
        [this](const QString& name) { return m_frame->Command(name); });
    connect(m_transferAgent.get(), &TransferAgent::FolderReceived, m_explorers.get(),
            &ExplorerWindows::RefreshFolder);
    connect(m_messages.get(), &SessionMessages::TransferDone, m_explorers.get(),
            &ExplorerWindows::RefreshLocal);
    // A friend named by e-mail is placed through the presence library first.
    auto* opening = new ComputerOpening(
        [this] { return PresenceInitialized(); }, ProductPage(platform::UpdateUrl()),
        [this](const QString& address) { m_explorers->OpenComputer(address, true); },
        m_frame.get());
    // A friend double-clicked in the friends list opens that friend's computer.
    connect(m_frame.get(), &MainFrame::OpenComputerRequested, opening, &ComputerOpening::Open);
    QAction* open = m_frame->Command(QStringLiteral("open"));
    open->setEnabled(true);
    connect(open, &QAction::triggered, this, [this, &settings, opening] {
        ChooseTargetComputerDialog dialog(settings, m_frame.get());
        if (dialog.exec() != QDialog::Accepted)
            return;
        if (dialog.IsRemote())
            opening->Open(dialog.ComputerName());
        else
            m_explorers->OpenComputer(dialog.ComputerName(), false);
    });
    m_explorers->OpenComputer(QStringLiteral("(Local)"), false);
}

void DrovickApplication::ShutDown() {
    if (m_shutDown || !m_kinds)
        return;
    m_shutDown = true;
    if (m_frame) {
        // A quit that did not come through the window (a test, a signal that
        // came before the loop) still keeps the open windows' flags.
        m_kinds->KeepOpenFlagsAtExit();
        m_frame->hide();
    }
    if (m_explorers)
        m_explorers->KeepSettingsAtExit();
    std::string error;
    if (!m_services.SaveSettings(error))
        std::fprintf(stderr, "drovick: the settings were not saved: %s\n", error.c_str());
    // Tells every server, then waits for each in its order.
    m_services.Stop();
    // A start still waiting for the service is told to give up; one inside
    // a library question nobody answers is left after a bound, so a signal
    // still ends the program.
    const auto deadline = std::chrono::steady_clock::now() + kPresenceWait;
    while (!m_presence.HasAnswered() && std::chrono::steady_clock::now() < deadline) {
        Halvara_CancelInitialize();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!m_presence.HasAnswered()) {
        m_presence.LetGoOfPendingStart();
        m_presenceAbandoned = true;
        return;
    }
    // A friend added, an identity changed or a message sent off the window
    // thread uses the presence session and the settings until it returns;
    // every such call ends within the bridge's and the sockets' limits.
    if (!WaitForBackgroundCalls(kPresenceWait)) {
        m_presenceAbandoned = true;
        return;
    }
    // Answered: this only joins the start's thread.
    m_presence.CancelPendingStart();
    m_presence.Close();
    m_frame.reset();
    // Explorer workers left waiting on a friend end within the client's limits.
    ExplorerWorker::WaitForAll(std::chrono::seconds(5));
}

void DrovickApplication::UpdateServersPane() {
    static constexpr struct {
        PeerServerKind kind;
        const char* name;
    } kServers[] = {{PeerServerKind::RemoteFileSystem, "files"},
                    {PeerServerKind::Search, "search"},
                    {PeerServerKind::Transfer, "downloads"},
                    {PeerServerKind::Messenger, "messages"}};
    QStringList listening;
    for (const auto& server : kServers)
        if (m_services.StateOf(server.kind) == PeerServerState::Listening)
            listening << QStringLiteral("%1 %2")
                             .arg(QString::fromLatin1(server.name))
                             .arg(m_services.PortOf(server.kind));
    if (m_frame)
        m_frame->SetServersText(listening.isEmpty() ? QStringLiteral("No server listening")
                                                    : QStringLiteral("Listening: ") +
                                                          listening.join(QStringLiteral(", ")));
}

void DrovickApplication::ServerStateChanged(PeerServerKind, PeerServerState, int) {
    Post([this] { UpdateServersPane(); });
}

void DrovickApplication::SharesChanged(const std::string& line) {
    Post([this, text = QString::fromStdString(line)] {
        if (m_frame)
            m_frame->statusBar()->showMessage(text);
    });
}

void DrovickApplication::Post(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void DrovickApplication::OpenMessenger() {
    m_kinds->Open(QStringLiteral("messenger"));
}
