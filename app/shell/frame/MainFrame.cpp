#include "app/shell/frame/MainFrame.h"

#include "app/files/DrovickSettings.h"
#include "app/shell/frame/BackgroundCall.h"
#include "app/shell/frame/TrayIcon.h"
#include "app/shell/frame/WindowKinds.h"
#include "app/shell/infobar/InfoBar.h"
#include "app/shell/infobar/TipRotation.h"
#include "app/shell/preferences/PreferencesDialog.h"
#include "app/shell/resources/HelpLocation.h"
#include "app/shell/resources/ShellIcons.h"
#include "app/shell/update/VersionCheck.h"
#include "app/shell/update/VersionFetch.h"
#include "library/halvara.h"
#include "platform/Environment.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

MainFrame::MainFrame(DrovickSettings& settings, WindowKinds& kinds,
                     std::function<bool()> presenceReady, QWidget* parent)
    : QMainWindow(parent)
    , m_settings(settings)
    , m_kinds(kinds)
    , m_presenceReady(std::move(presenceReady)) {
    setWindowTitle(QStringLiteral("Drovick"));
    setWindowIcon(ShellIcons::Get("app"));
    setObjectName(QStringLiteral("MainFrame"));
    m_area = new QMdiArea;
    m_area->setObjectName(QStringLiteral("MainArea"));
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    BuildInfoBar();
    if (m_infoBar)
        layout->addWidget(m_infoBar);
    layout->addWidget(m_area, 1);
    setCentralWidget(central);
    m_kinds.AttachArea(m_area);

    m_tray = new TrayIcon(this);
    connect(m_tray, &TrayIcon::ShowWindowRequested, this, &MainFrame::ShowAndRaise);
    connect(m_tray, &TrayIcon::ExitRequested, this, &MainFrame::Exit);
    m_tray->show();

    m_toolBar = addToolBar(QStringLiteral("Toolbar"));
    m_toolBar->setObjectName(QStringLiteral("MainToolBar"));
    m_toolBar->setIconSize(QSize(32, 32));
    BuildMenus();
    BuildToolBar();
    BuildStatusBar();
    ApplyBarSettings();
    resize(900, 640);
}

MainFrame::~MainFrame() = default;

QAction* MainFrame::MakeCommand(const QString& name, const QString& text, const char* icon) {
    auto* action = new QAction(text, this);
    action->setObjectName(name);
    if (icon)
        action->setIcon(ShellIcons::Get(icon));
    return action;
}

QAction* MainFrame::Command(const QString& name) const {
    return findChild<QAction*>(name, Qt::FindDirectChildrenOnly);
}

void MainFrame::BuildMenus() {
    // Commands whose windows come with the explorer, the search window and the
    // messenger stay visible but disabled until those windows exist.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* open = MakeCommand(QStringLiteral("open"), QStringLiteral("&Open..."), "open");
    open->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
    open->setEnabled(false);
    file->addAction(open);
    QAction* info = MakeCommand(QStringLiteral("info"), QStringLiteral("&Info..."));
    info->setEnabled(false);
    file->addAction(info);
    QAction* search =
        MakeCommand(QStringLiteral("search"), QStringLiteral("RaskSearch..."), "search");
    search->setEnabled(false);
    file->addAction(search);
    file->addSeparator();
    QAction* update = MakeCommand(QStringLiteral("update"), QStringLiteral("&Update..."));
    connect(update, &QAction::triggered, this, &MainFrame::CheckVersion);
    file->addAction(update);
    file->addSeparator();
    QAction* exit = MakeCommand(QStringLiteral("exit"), QStringLiteral("E&xit"));
    connect(exit, &QAction::triggered, this, &MainFrame::Exit);
    file->addAction(exit);

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    const struct {
        const char* name;
        const char* text;
        QKeySequence::StandardKey key;
    } kClipboard[] = {{"cut", "Cu&t", QKeySequence::Cut},
                      {"copy", "&Copy", QKeySequence::Copy},
                      {"paste", "P&aste", QKeySequence::Paste},
                      {"delete", "&Delete", QKeySequence::Delete}};
    for (const auto& command : kClipboard) {
        QAction* action =
            MakeCommand(QString::fromLatin1(command.name), QString::fromLatin1(command.text));
        action->setShortcut(command.key);
        action->setEnabled(false);
        edit->addAction(action);
    }
    edit->addSeparator();
    QAction* preferences = MakeCommand(QStringLiteral("preferences"),
                                       QStringLiteral("&Preferences..."), "preferences");
    connect(preferences, &QAction::triggered, this, &MainFrame::ShowPreferences);
    edit->addAction(preferences);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(
        MakeBarToggle(QStringLiteral("toolbar"), QStringLiteral("&Toolbar"), m_toolBar));
    view->addAction(
        MakeBarToggle(QStringLiteral("statusbar"), QStringLiteral("&Status Bar"), statusBar()));
    QAction* infoToggle =
        MakeBarToggle(QStringLiteral("infobar"), QStringLiteral("&Info Bar"), m_infoBar);
    view->addAction(infoToggle);
    view->addSeparator();
    for (const char* id : {"friends", "shared", "transfers", "messenger", "monitor"})
        if (QAction* toggle = m_kinds.Toggle(QString::fromLatin1(id)))
            view->addAction(toggle);
    view->addSeparator();
    auto* modes = new QActionGroup(this);
    int modeNumber = 0;
    for (const char* text : {"Lar&ge Icons", "&Small Icons", "&List", "&Details"}) {
        QAction* mode =
            MakeCommand(QStringLiteral("viewMode%1").arg(modeNumber++), QString::fromLatin1(text));
        view->addAction(mode);
        mode->setCheckable(true);
        mode->setEnabled(false);
        modes->addAction(mode);
    }
    QMenu* arrange = view->addMenu(QStringLiteral("Arrange Icons"));
    int keyNumber = 0;
    for (const char* text : {"by &Name", "by &Type", "by Si&ze", "by &Date"}) {
        QAction* key =
            MakeCommand(QStringLiteral("sortKey%1").arg(keyNumber++), QString::fromLatin1(text));
        arrange->addAction(key);
        key->setEnabled(false);
    }

    QMenu* friends = menuBar()->addMenu(QStringLiteral("F&riends"));
    QAction* add = MakeCommand(QStringLiteral("addFriend"), QStringLiteral("Add..."), "add-friend");
    connect(add, &QAction::triggered, this, &MainFrame::AddFriend);
    friends->addAction(add);
    QAction* identity = MakeCommand(QStringLiteral("identity"), QStringLiteral("Identity..."));
    connect(identity, &QAction::triggered, this, &MainFrame::ChangeIdentity);
    friends->addAction(identity);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* topics =
        MakeCommand(QStringLiteral("helpTopics"), QStringLiteral("Topics..."), "help");
    connect(topics, &QAction::triggered, this, &MainFrame::ShowHelp);
    help->addAction(topics);
}

QAction* MainFrame::MakeBarToggle(const QString& name, const QString& text, QWidget* bar) {
    QAction* toggle = MakeCommand(name, text);
    toggle->setCheckable(true);
    toggle->setEnabled(bar != nullptr);
    if (bar)
        connect(toggle, &QAction::toggled, bar, &QWidget::setVisible);
    return toggle;
}

void MainFrame::BuildToolBar() {
    // The toolbar holds the menu's own actions, so a disabled command is
    // disabled in both places; the view toggles show their check marks.
    const auto addKind = [this](const char* id, const char* icon, const char* tip) {
        if (QAction* toggle = m_kinds.Toggle(QString::fromLatin1(id))) {
            toggle->setIcon(ShellIcons::Get(icon));
            toggle->setToolTip(QString::fromLatin1(tip));
            m_toolBar->addAction(toggle);
        }
    };
    const auto addCommand = [this](const char* name, const char* tip) {
        QAction* command = Command(QString::fromLatin1(name));
        command->setToolTip(QString::fromLatin1(tip));
        m_toolBar->addAction(command);
    };
    addCommand("open", "Open a computer");
    addCommand("search", "Search the network");
    m_toolBar->addSeparator();
    addKind("friends", "friends", "Friends List");
    addKind("shared", "shared", "Shared Directories");
    addKind("transfers", "transfers", "Transfer Agent");
    addKind("messenger", "messenger", "Instant Messenger");
    addKind("monitor", "monitor", "Network Monitor");
    m_toolBar->addSeparator();
    QAction* send =
        MakeCommand(QStringLiteral("sendMessage"), QStringLiteral("Send Message"), "message");
    send->setToolTip(QStringLiteral("Send an instant message"));
    send->setEnabled(false);
    m_toolBar->addAction(send);
    addCommand("addFriend", "Add a friend");
    m_toolBar->addSeparator();
    addCommand("preferences", "Preferences");
    addCommand("helpTopics", "Help");
}

void MainFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("MainStatusBar"));
    m_presencePane = new QLabel;
    m_presencePane->setFixedWidth(150);
    m_serversPane = new QLabel;
    m_thirdPane = new QLabel;
    m_thirdPane->setFixedWidth(150);
    bar->addPermanentWidget(m_presencePane);
    bar->addPermanentWidget(m_serversPane, 1);
    bar->addPermanentWidget(m_thirdPane);
    bar->showMessage(QStringLiteral("Ready"));
}

void MainFrame::BuildInfoBar() {
    auto* bar = new InfoBar;
    bar->setObjectName(QStringLiteral("InfoBar"));
    m_infoBar = bar;
    auto* tips = new TipRotation(TipList(ProductAddress()), *bar, this);
    tips->Start();
}

void MainFrame::ApplyBarSettings() {
    const struct {
        const char* name;
        std::int32_t value;
    } kBars[] = {{"toolbar", m_settings.toolbarVisible},
                 {"statusbar", m_settings.statusBarVisible},
                 {"infobar", m_settings.infoBarVisible}};
    for (const auto& bar : kBars)
        if (QAction* toggle = Command(QString::fromLatin1(bar.name))) {
            toggle->setChecked(bar.value != 0);
            // setChecked only signals a change; the bar starts as the flag says.
            emit toggle->toggled(bar.value != 0);
        }
}

void MainFrame::StoreBarSettings() {
    const auto checked = [this](const char* name) {
        QAction* toggle = Command(QString::fromLatin1(name));
        return toggle && toggle->isEnabled() ? std::int32_t{toggle->isChecked()} : std::int32_t{-1};
    };
    // A bar this build lacks keeps whatever the file said about it.
    if (std::int32_t value = checked("toolbar"); value >= 0)
        m_settings.toolbarVisible = value;
    if (std::int32_t value = checked("statusbar"); value >= 0)
        m_settings.statusBarVisible = value;
    if (std::int32_t value = checked("infobar"); value >= 0)
        m_settings.infoBarVisible = value;
}

void MainFrame::ShowAtStart() {
    // Without a notification area a hidden window could never be brought back.
    if (m_settings.showMainWindowOnStart == 0 && QSystemTrayIcon::isSystemTrayAvailable()) {
        StoreBarSettings();
        hide();
        return;
    }
    ShowAndRaise();
}

void MainFrame::ShowAndRaise() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainFrame::SetPresenceText(const QString& text) {
    m_presencePane->setText(text);
}

void MainFrame::SetServersText(const QString& text) {
    m_serversPane->setText(text);
}

void MainFrame::Exit() {
    // A hidden window gets no close event, so the exit does not wait for one.
    BeginExit();
    close();
}

void MainFrame::BeginExit() {
    if (m_closing)
        return;
    m_closing = true;
    if (isVisible())
        StoreBarSettings();
    // Windows open now are reopened at the next start.
    m_kinds.KeepOpenFlagsAtExit();
    m_tray->hide();
    emit ExitRequested();
}

void MainFrame::closeEvent(QCloseEvent* event) {
    BeginExit();
    event->accept();
}

void MainFrame::AddFriend() {
    if (!m_presenceReady()) {
        QMessageBox::critical(
            this, QStringLiteral("Add Friend"),
            QStringLiteral("Halvara has not been initialized;\ncannot add a friend."));
        return;
    }
    // The library asks the user through its own dialogs and waits for the
    // service, so the call never runs on this thread.
    RunInBackground(
        this,
        [address = ProductAddress().toStdString()] {
            return Halvara_Add("Drovick", address.c_str(), kApplicationId);
        },
        nullptr);
}

void MainFrame::ChangeIdentity() {
    if (!m_presenceReady()) {
        QMessageBox::critical(
            this, QStringLiteral("Change Identity"),
            QStringLiteral("Halvara has not been initialized;\ncannot change your identity."));
        return;
    }
    RunInBackground(
        this, [] { return Halvara_ChangeIdentity(); }, nullptr);
}

void MainFrame::ShowHelp() {
    const QString page = HelpLocation::IndexPage();
    if (page.isEmpty()) {
        QMessageBox::critical(
            this, QStringLiteral("Drovick Help"),
            QStringLiteral("Could not find the help files; make sure you're running\n"
                           "Drovick in its directory, and the help subdirectory is extant."));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
        QMessageBox::critical(
            this, QStringLiteral("Drovick help"),
            QStringLiteral("An error occurred in opening your web browser;\n"
                           "you can open the help directly from the ./help subdirectory"));
}

void MainFrame::ShowPreferences() {
    PreferencesDialog dialog(m_settings, this);
    // The message threads read the options as one published copy.
    if (dialog.exec() == QDialog::Accepted)
        m_settings.PublishOptions();
}

void MainFrame::CheckVersion() {
    if (!m_versionCheck)
        m_versionCheck = new VersionCheck(this);
    m_versionCheck->Start(this);
}

QString MainFrame::ProductAddress() {
    return ProductPage(platform::UpdateUrl());
}
