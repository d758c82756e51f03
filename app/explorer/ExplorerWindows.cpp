#include "app/explorer/ExplorerWindows.h"

#include "app/explorer/DirectoryRows.h"
#include "app/explorer/ExplorerWindow.h"
#include "app/files/DrovickSettings.h"

#include <QAction>
#include <QCloseEvent>
#include <QListView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>
#include <QSplitter>
#include <QTreeView>
#include <algorithm>
#include <filesystem>

ExplorerWindows::ExplorerWindows(ExplorerContext context, DrovickSettings& settings, QMdiArea* area,
                                 std::function<QAction*(const QString&)> command, QObject* parent)
    : QObject(parent)
    , m_context(std::move(context))
    , m_settings(settings)
    , m_area(area)
    , m_command(std::move(command)) {
    if (m_area)
        connect(m_area, &QMdiArea::subWindowActivated, this, [this] { UpdateCommands(); });
    WireCommands();
    UpdateCommands();
}

ExplorerWindows::~ExplorerWindows() = default;

QString ExplorerWindows::ViewModeCommand(int mode) {
    return QStringLiteral("viewMode%1").arg(mode);
}

QString ExplorerWindows::SortKeyCommand(int key) {
    return QStringLiteral("sortKey%1").arg(key);
}

ExplorerWindow* ExplorerWindows::OpenComputer(const QString& address, bool remote) {
    if (!m_area)
        return nullptr;
    auto* window = new ExplorerWindow(m_context, address, remote);
    window->SetViewMode(m_settings.fileListViewMode);
    window->SetSortKey(m_settings.fileListSortKey);
    QMdiSubWindow* frame = m_area->addSubWindow(window);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->setWindowTitle(window->windowTitle());
    frame->installEventFilter(this);
    connect(window, &ExplorerWindow::TitleChanged, frame, &QWidget::setWindowTitle);
    for (QWidget* view :
         {static_cast<QWidget*>(window->IconView()), static_cast<QWidget*>(window->DetailsView()),
          static_cast<QWidget*>(window->TreeView())}) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, window, view](const QPoint& where) {
                    ShowPopup(window, view->mapToGlobal(where));
                });
    }
    const int treeWidth = std::max<int>(30, m_settings.treePaneWidth);
    if (auto* splitter = window->findChild<QSplitter*>())
        splitter->setSizes({treeWidth, std::max(200, 760 - treeWidth)});
    connect(window->IconView()->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateCommands(); });
    m_windows.push_back(window);
    frame->resize(760, 460);
    frame->show();
    KeepInside(frame);
    m_area->setActiveSubWindow(frame);
    UpdateCommands();
    return window;
}

void ExplorerWindows::KeepInside(QMdiSubWindow* frame) const {
    // The area places a new window beside the others, past its right edge
    // once two are open; it goes back inside, as far as it fits.
    const QRect room = m_area->viewport()->rect();
    QRect placed = frame->geometry();
    placed.setSize(placed.size().boundedTo(room.size()));
    if (placed.right() > room.right())
        placed.moveRight(room.right());
    if (placed.bottom() > room.bottom())
        placed.moveBottom(room.bottom());
    placed.moveTopLeft(QPoint(std::max(0, placed.left()), std::max(0, placed.top())));
    frame->setGeometry(placed);
}

ExplorerWindow* ExplorerWindows::Active() const {
    if (!m_area)
        return nullptr;
    QMdiSubWindow* frame = m_area->activeSubWindow();
    if (frame == nullptr)
        return nullptr;
    return qobject_cast<ExplorerWindow*>(frame->widget());
}

std::vector<ExplorerWindow*> ExplorerWindows::Windows() const {
    std::vector<ExplorerWindow*> open;
    for (const auto& window : m_windows)
        if (window)
            open.push_back(window);
    return open;
}

void ExplorerWindows::RefreshFolder(const QString& folder) {
    const std::string wanted = WithSlash(folder.toStdString());
    for (ExplorerWindow* window : Windows())
        if (!window->IsRemote() && window->CurrentFolder() == wanted)
            window->Refresh();
}

void ExplorerWindows::RefreshLocal() {
    for (ExplorerWindow* window : Windows())
        if (!window->IsRemote())
            window->Refresh();
}

void ExplorerWindows::KeepSettingsAtExit() {
    if (ExplorerWindow* window = Active() ? Active() : m_lastActive.data())
        StoreSettings(window);
}

void ExplorerWindows::CopySelected(bool cut) {
    ExplorerWindow* window = Active();
    if (window == nullptr || window->SelectedPath().empty())
        return;
    m_clipboardPath = window->SelectedPath();
    m_clipboardComputer = window->MachineLabel();
    m_clipboardCut = cut;
    UpdateCommands();
}

void ExplorerWindows::Paste() {
    ExplorerWindow* window = Active();
    // Nothing is written onto a friend's computer.
    if (window == nullptr || window->IsRemote() || m_clipboardPath.empty())
        return;
    window->Receive(m_clipboardComputer, {m_clipboardPath}, window->CurrentFolder(),
                    m_clipboardCut ? DropChoice::Move : DropChoice::Copy);
}

void ExplorerWindows::WireCommands() {
    const auto wire = [this](const QString& name, std::function<void()> run) {
        if (QAction* action = m_command(name))
            connect(action, &QAction::triggered, this, std::move(run));
    };
    wire(QStringLiteral("cut"), [this] { CopySelected(true); });
    wire(QStringLiteral("copy"), [this] { CopySelected(false); });
    wire(QStringLiteral("paste"), [this] { Paste(); });
    wire(QStringLiteral("delete"), [this] {
        if (ExplorerWindow* window = Active())
            window->DeleteSelected();
    });
    for (int i = 0; i < 4; ++i) {
        wire(ViewModeCommand(i), [this, i] {
            if (ExplorerWindow* window = Active())
                window->SetViewMode(i);
        });
        wire(SortKeyCommand(i), [this, i] {
            if (ExplorerWindow* window = Active())
                window->SetSortKey(i);
        });
    }
}

void ExplorerWindows::UpdateCommands() {
    ExplorerWindow* window = Active();
    if (window)
        m_lastActive = window;
    const bool selected = window && !window->SelectedPath().empty();
    const auto enable = [this](const QString& name, bool on) {
        if (QAction* action = m_command(name))
            action->setEnabled(on);
    };
    enable(QStringLiteral("cut"), selected);
    enable(QStringLiteral("copy"), selected);
    enable(QStringLiteral("delete"), selected);
    enable(QStringLiteral("paste"), window && !window->IsRemote() && ClipboardHolds());
    for (int i = 0; i < 4; ++i) {
        enable(ViewModeCommand(i), window != nullptr);
        enable(SortKeyCommand(i), window != nullptr);
        if (QAction* mode = m_command(ViewModeCommand(i)); mode && window)
            mode->setChecked(window->ViewMode() == i);
    }
}

void ExplorerWindows::ShowPopup(ExplorerWindow* window, const QPoint& where) {
    UpdateCommands();
    QMenu menu;
    const bool selected = !window->SelectedPath().empty();
    menu.addAction(QStringLiteral("Explore"), window, &ExplorerWindow::OpenSelected)
        ->setEnabled(selected);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Cu&t"), this, [this] { CopySelected(true); })
        ->setEnabled(selected);
    menu.addAction(QStringLiteral("&Copy"), this, [this] { CopySelected(false); })
        ->setEnabled(selected);
    menu.addAction(QStringLiteral("P&aste"), this, [this] { Paste(); })
        ->setEnabled(!window->IsRemote() && ClipboardHolds());
    menu.addAction(QStringLiteral("&Delete"), window, &ExplorerWindow::DeleteSelected)
        ->setEnabled(selected && !window->IsRemote());
    menu.addSeparator();
    QMenu* add = menu.addMenu(QStringLiteral("&New"));
    add->addAction(QStringLiteral("Folder..."), window, &ExplorerWindow::NewFolder)
        ->setEnabled(!window->IsRemote());
    menu.addAction(QStringLiteral("&Refresh"), window, &ExplorerWindow::Refresh);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Properties"), window, &ExplorerWindow::ShowProperties)
        ->setEnabled(selected);
    if (m_context.sharing && !window->IsRemote()) {
        // A folder of this computer: the selected one, else the one shown.
        std::string folder = selected ? window->SelectedPath() : window->CurrentFolder();
        std::error_code error;
        const bool isFolder = !folder.empty() && std::filesystem::is_directory(folder, error);
        QPointer<ExplorerWindow> shown(window);
        menu.addAction(QStringLiteral("S&haring..."), this,
                       [this, shown, folder] {
                           if (m_context.sharing(shown, folder) && shown)
                               shown->Refresh();
                       })
            ->setEnabled(isFolder);
    }
    menu.exec(where);
}

void ExplorerWindows::StoreSettings(ExplorerWindow* window) {
    if (const int width = window->TreeWidth(); width > 0)
        m_settings.treePaneWidth = width;
    m_settings.fileListSortKey = window->SortKey();
    m_settings.fileListViewMode = window->ViewMode();
}

bool ExplorerWindows::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close) {
        if (auto* frame = qobject_cast<QMdiSubWindow*>(watched))
            if (auto* window = qobject_cast<ExplorerWindow*>(frame->widget()))
                StoreSettings(window);
    }
    return QObject::eventFilter(watched, event);
}
