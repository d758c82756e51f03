#include "app/explorer/ExplorerWindow.h"

#include "app/explorer/DirectoryListModel.h"
#include "app/explorer/DropItems.h"
#include "app/explorer/ExplorerWorker.h"
#include "app/explorer/FolderTreeModel.h"
#include "app/files/FileSystem.h"
#include "app/files/LocalFileSystem.h"
#include "app/files/ShareTable.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/session/PresenceSession.h"

#include <QDesktopServices>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QSplitter>
#include <QStackedWidget>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr const char* kLocalLabel = "127.0.0.1";

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ParentOf(const std::string& path) {
    std::string trimmed = path;
    if (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/")
                                                    : trimmed.substr(0, slash + 1);
}

bool Exists(FileSystem& files, const std::string& path) {
    FileStatus status;
    return files.GetStatus(path, status) || files.IsFolder(path);
}

} // namespace

ExplorerWindow::ExplorerWindow(ExplorerContext context, const QString& address, bool remote,
                               QWidget* parent)
    : QWidget(parent)
    , m_context(std::move(context))
    , m_requested(address)
    , m_address(remote ? address : QStringLiteral("(Local)"))
    , m_remote(remote) {
    setWindowTitle(m_address);
    BuildViews();
    ConnectTree();

    const bool isRemote = m_remote;
    const std::string requested = address.toStdString();
    ExplorerContext made = m_context;
    QPointer<QObject> self(this);
    m_worker = std::make_unique<ExplorerWorker>(
        [self, this, isRemote, requested, made]() -> std::unique_ptr<FileSystem> {
            if (!isRemote)
                return std::make_unique<LocalFileSystem>(made.icons);
            std::string host = requested;
            if (host.find('@') != std::string::npos) {
                // A friend named by e-mail: the presence service says where.
                const bool asked = made.presence && made.presence->IsInitialized();
                host = asked ? made.presence->AddressOf(requested) : std::string();
                const std::string why = !asked ? std::string("the presence service is not ready")
                                               : made.presence->Failure();
                ExplorerWorker::HandBack(self, [this, host, why] {
                    if (!host.empty())
                        m_address = QString::fromStdString(host);
                    m_list->SetMachineLabel(MachineLabel());
                    m_tree->SetMachineLabel(MachineLabel());
                    if (host.empty())
                        m_status->setText(QStringLiteral("The friend's address is not known: %1.")
                                              .arg(QString::fromStdString(why)));
                });
            }
            if (host.empty())
                return nullptr;
            return std::make_unique<RemoteFileSystem>(
                host, made.log, made.icons, made.remotePort > 0 ? made.remotePort : kNfsServerPort);
        });

    if (!m_remote && m_context.shares) {
        auto shares = m_context.shares;
        const auto isShared = [shares](const std::string& path) { return shares->IsShared(path); };
        m_list->SetSharedTest(isShared);
        m_tree->SetSharedTest(isShared);
        // Listeners run on whichever thread changed the table.
        m_shareListener = shares->AddListener([self, this] {
            ExplorerWorker::HandBack(self, [this] {
                m_tree->RefreshIcons();
                m_list->layoutChanged();
            });
        });
    }
    m_list->SetMachineLabel(MachineLabel());
    m_tree->SetMachineLabel(MachineLabel());
    ExpandFolder(m_tree->Root());
    m_treeView->expand(m_tree->Root());
    // The root listed at once: a new window never opens on an empty list.
    Navigate("/");
}

ExplorerWindow::~ExplorerWindow() {
    if (m_shareListener != 0 && m_context.shares)
        m_context.shares->RemoveListener(m_shareListener);
    // Does not wait: a friend who stopped answering holds the worker, not us.
    m_worker.reset();
}

void ExplorerWindow::BuildViews() {
    m_tree = new FolderTreeModel(this);
    m_list = new DirectoryListModel(this);

    m_treeView = new QTreeView;
    m_treeView->setModel(m_tree);
    m_treeView->setHeaderHidden(true);
    m_treeView->setEditTriggers(QAbstractItemView::EditKeyPressed |
                                QAbstractItemView::SelectedClicked);
    m_treeView->setDragDropMode(QAbstractItemView::DragDrop);
    m_treeView->setDefaultDropAction(Qt::MoveAction);
    m_treeView->setDropIndicatorShown(true);

    m_icons = new QListView;
    m_icons->setModel(m_list);
    m_details = new QTreeView;
    m_details->setModel(m_list);
    m_details->setRootIsDecorated(false);
    m_details->setUniformRowHeights(true);
    m_details->setAllColumnsShowFocus(true);
    m_details->setSelectionModel(m_icons->selectionModel());
    m_selection = m_icons->selectionModel();
    m_details->header()->setStretchLastSection(false);
    m_details->header()->resizeSection(DirectoryListModel::kName, 200);
    for (int column = DirectoryListModel::kSize; column < DirectoryListModel::kColumnCount;
         ++column)
        m_details->header()->resizeSection(column, column == DirectoryListModel::kSize ? 80 : 160);
    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(m_icons), static_cast<QAbstractItemView*>(m_details)}) {
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setEditTriggers(QAbstractItemView::EditKeyPressed |
                              QAbstractItemView::SelectedClicked);
        view->setDragDropMode(QAbstractItemView::DragDrop);
        view->setDefaultDropAction(Qt::MoveAction);
        view->setDragEnabled(true);
        view->setAcceptDrops(true);
        view->setDropIndicatorShown(true);
        connect(view, &QAbstractItemView::activated, this, [this](const QModelIndex& index) {
            if (const DirectoryRow* row = m_list->Row(index))
                Open(row->path);
        });
    }
    m_stack = new QStackedWidget;
    m_stack->addWidget(m_icons);
    m_stack->addWidget(m_details);

    m_status = new QLabel;
    m_status->setContentsMargins(4, 2, 4, 2);
    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(0);
    rightLayout->addWidget(m_stack, 1);
    rightLayout->addWidget(m_status);

    m_splitter = new QSplitter(Qt::Horizontal);
    m_splitter->addWidget(m_treeView);
    m_splitter->addWidget(right);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({220, 600});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_splitter);

    connect(m_list, &DirectoryListModel::RenameRequested, this,
            [this](const QByteArray& path, const QString& name) {
                Rename(path.toStdString(), name.toStdString());
            });
    connect(m_list, &DirectoryListModel::DropRequested, this, &ExplorerWindow::DropOnFolder);
    connect(m_tree, &FolderTreeModel::RenameRequested, this,
            [this](const QByteArray& path, const QString& name) {
                Rename(path.toStdString(), name.toStdString());
            });
    connect(m_tree, &FolderTreeModel::DropRequested, this, &ExplorerWindow::DropOnFolder);
    SetViewMode(0);
}

void ExplorerWindow::ConnectTree() {
    connect(m_treeView, &QTreeView::expanded, this, &ExplorerWindow::ExpandFolder);
    // Selection, not the current item: the view makes an item current by
    // itself when it first gets the focus, and that must not list anything.
    connect(m_treeView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                if (selected.indexes().isEmpty())
                    return;
                const std::string path = m_tree->PathOf(selected.indexes().front());
                if (path.empty() || WithSlash(path) == m_folder)
                    return;
                m_folder = WithSlash(path);
                ListFolder(m_folder);
            });
}

QString ExplorerWindow::MachineLabel() const {
    return m_remote ? m_address : QString::fromLatin1(kLocalLabel);
}

bool ExplorerWindow::IsBusy() const {
    return m_worker->Pending() > 0;
}

void ExplorerWindow::ExpandFolder(const QModelIndex& index) {
    if (!index.isValid() || m_tree->IsListed(index))
        return;
    const std::string folder = m_tree->PathOf(index);
    QPointer<QObject> self(this);
    m_worker->Post([self, this, folder](FileSystem* files) {
        auto children = std::make_shared<std::vector<Subfolder>>();
        if (files)
            *children = ReadSubfolders(*files, folder);
        ExplorerWorker::HandBack(self, [this, folder, children] {
            m_tree->SetChildren(folder, *children);
            if (const QModelIndex selected = m_tree->Find(m_folder); selected.isValid())
                m_treeView->setCurrentIndex(selected);
        });
    });
}

void ExplorerWindow::Navigate(const std::string& folder) {
    if (folder.empty())
        return;
    m_folder = WithSlash(folder);
    if (const QModelIndex item = m_tree->Find(m_folder); item.isValid()) {
        QSignalBlocker quiet(m_treeView->selectionModel());
        m_treeView->setCurrentIndex(item);
    }
    ListFolder(m_folder);
}

void ExplorerWindow::Refresh() {
    if (!m_folder.empty())
        ListFolder(m_folder);
}

void ExplorerWindow::ListFolder(const std::string& folder) {
    const std::uint64_t tag = ++m_listing;
    const int key = m_list->SortKeyValue();
    ShowBusy(true);
    QPointer<QObject> self(this);
    m_worker->Post([self, this, tag, folder, key](FileSystem* files) {
        auto page = std::make_shared<DirectoryPage>();
        page->folder = folder;
        if (files)
            *page = ReadDirectory(*files, folder);
        else
            page->outcome = FolderListing::Outcome::Unreachable;
        // Sorted here, so the window thread only checks the order.
        DirectoryListModel::SortRows(page->rows, key);
        ExplorerWorker::HandBack(self, [this, tag, page] {
            emit FolderListed(Text(page->folder), static_cast<int>(page->rows.size()));
            // An answer for a folder left meanwhile is not shown.
            if (tag != m_listing)
                return;
            const int count = static_cast<int>(page->rows.size());
            m_list->SetRows(std::move(page->rows));
            ShowBusy(false);
            switch (page->outcome) {
            case FolderListing::Outcome::Unreachable:
                m_status->setText(QStringLiteral("The computer does not answer."));
                break;
            case FolderListing::Outcome::NotReadable:
                m_status->setText(QStringLiteral("The folder cannot be read."));
                break;
            case FolderListing::Outcome::TooLarge:
                m_status->setText(QStringLiteral("The folder holds too many entries."));
                break;
            default:
                m_status->setText(QStringLiteral("%1 object(s)").arg(count));
            }
        });
    });
}

void ExplorerWindow::ShowBusy(bool busy) {
    for (QWidget* view : {static_cast<QWidget*>(m_icons), static_cast<QWidget*>(m_details)}) {
        if (busy)
            view->setCursor(Qt::BusyCursor);
        else
            view->unsetCursor();
    }
    if (busy)
        m_status->setText(QStringLiteral("Reading the folder..."));
}

void ExplorerWindow::SetViewMode(int mode) {
    if (mode < 0 || mode > 3)
        mode = 0;
    m_viewMode = mode;
    if (mode == 3) {
        m_stack->setCurrentWidget(m_details);
        return;
    }
    m_icons->setViewMode(mode == 0 ? QListView::IconMode : QListView::ListMode);
    m_icons->setFlow(mode == 2 ? QListView::TopToBottom : QListView::LeftToRight);
    m_icons->setWrapping(true);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setMovement(QListView::Static);
    m_icons->setIconSize(mode == 0 ? QSize(32, 32) : QSize(16, 16));
    m_icons->setGridSize(mode == 0 ? QSize(96, 72) : QSize());
    m_icons->setWordWrap(mode == 0);
    // Laid out in batches between events, and every item sized like the
    // first: ten thousand entries never hold the window thread at once.
    m_icons->setUniformItemSizes(true);
    m_icons->setLayoutMode(QListView::Batched);
    m_icons->setBatchSize(500);
    m_icons->setSpacing(mode == 0 ? 0 : 2);
    m_icons->setDragDropMode(QAbstractItemView::DragDrop);
    m_stack->setCurrentWidget(m_icons);
}

void ExplorerWindow::SetSortKey(int key) {
    m_list->SetSortKey(key);
}

int ExplorerWindow::SortKey() const {
    return m_list->SortKeyValue();
}

int ExplorerWindow::TreeWidth() const {
    const QList<int> sizes = m_splitter->sizes();
    return sizes.isEmpty() ? 0 : sizes.front();
}

QWidget* ExplorerWindow::CurrentListView() const {
    return m_stack->currentWidget();
}

std::string ExplorerWindow::SelectedPath() const {
    const QModelIndex current = m_selection->currentIndex();
    const QModelIndexList rows = m_selection->selectedRows();
    const QModelIndex chosen = rows.isEmpty()
                                   ? (m_selection->isSelected(current) ? current : QModelIndex())
                                   : rows.front();
    const DirectoryRow* row = m_list->Row(chosen);
    return row ? row->path : std::string();
}

void ExplorerWindow::SelectPath(const std::string& path) {
    const int row = m_list->RowOfPath(path);
    if (row < 0)
        return;
    const QModelIndex index = m_list->index(row, 0);
    m_selection->setCurrentIndex(index,
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void ExplorerWindow::OpenSelected() {
    const std::string path = SelectedPath();
    if (!path.empty())
        Open(path);
}

void ExplorerWindow::Open(const std::string& path) {
    const int rowIndex = m_list->RowOfPath(path);
    const DirectoryRow* row = m_list->Row(rowIndex);
    if (row != nullptr && row->isFolder) {
        Navigate(path);
        return;
    }
    if (!m_remote) {
        QDesktopServices::openUrl(
            QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path))));
        return;
    }
    // A friend's file opens as a download into the download folder.
    if (!m_context.transfer || !m_context.downloadFolder)
        return;
    const std::string folder = m_context.downloadFolder().toStdString();
    if (folder.empty())
        return;
    ExplorerTransfer transfer{
        MachineLabel(), QByteArray::fromStdString(path), QString::fromLatin1(kLocalLabel),
        QByteArray::fromStdString(WithSlash(folder) + LastComponent(path)), false};
    m_context.transfer(transfer, [](int) {});
}

void ExplorerWindow::AfterChange(const std::string& folderToForget) {
    Refresh();
    // The tree learns the change by reading the parent folder again.
    const std::string parent = ParentOf(folderToForget);
    if (const QModelIndex item = m_tree->Find(parent); item.isValid() && m_tree->IsListed(item)) {
        m_tree->setData(item, false, FolderTreeModel::kListedRole);
        ExpandFolder(item);
    }
}

void ExplorerWindow::DeleteSelected() {
    const std::string path = SelectedPath();
    if (path.empty())
        return;
    QPointer<QObject> self(this);
    m_worker->Post([self, this, path](FileSystem* files) {
        const bool deleted = files && files->RecycleFile(path.c_str());
        ExplorerWorker::HandBack(self, [this, path, deleted] {
            if (deleted)
                AfterChange(path);
        });
    });
}

void ExplorerWindow::Rename(const std::string& path, const std::string& newName) {
    if (path.empty() || newName.empty() || newName.find('/') != std::string::npos)
        return;
    const std::string target = ParentOf(path) + newName;
    QPointer<QObject> self(this);
    m_worker->Post([self, this, path, target](FileSystem* files) {
        // An existing entry of that name is never replaced by a rename.
        const bool renamed = files && !Exists(*files, target) && files->MoveFile(path, target);
        ExplorerWorker::HandBack(self, [this, path, renamed] {
            if (renamed)
                AfterChange(path);
        });
    });
}

void ExplorerWindow::NewFolder() {
    const std::string folder = m_folder;
    if (folder.empty())
        return;
    QPointer<QObject> self(this);
    m_worker->Post([self, this, folder](FileSystem* files) {
        std::string made;
        if (files) {
            const std::string name = NewFolderName(
                [&](const std::string& candidate) { return Exists(*files, folder + candidate); });
            if (files->CreateDirectory(folder + name))
                made = folder + name;
        }
        ExplorerWorker::HandBack(self, [this, made] {
            if (made.empty())
                return;
            // Once listed, the new folder is selected with its name open for typing.
            auto connection = std::make_shared<QMetaObject::Connection>();
            *connection = connect(
                this, &ExplorerWindow::FolderListed, this,
                [this, made, connection] {
                    if (m_list->RowOfPath(made) < 0)
                        return;
                    disconnect(*connection);
                    SelectPath(made);
                    auto* view = static_cast<QAbstractItemView*>(CurrentListView());
                    view->scrollTo(m_selection->currentIndex());
                    view->edit(m_selection->currentIndex());
                },
                Qt::QueuedConnection);
            AfterChange(made);
        });
    });
}

void ExplorerWindow::ShowProperties() {
    const int index = m_list->RowOfPath(SelectedPath());
    const DirectoryRow* row = m_list->Row(index);
    if (row == nullptr)
        return;
    const QString text =
        QStringLiteral("Name: %1\nType: %2\nSize: %3\nModified: %4\nLocation: %5\nComputer: %6")
            .arg(Text(row->name), Text(row->typeName),
                 row->isFolder ? QString() : QStringLiteral("%1 bytes").arg(row->size),
                 DirectoryListModel::FormatModified(row->modified), Text(ParentOf(row->path)),
                 m_address);
    QMessageBox::information(this, QStringLiteral("Properties"), text);
}

void ExplorerWindow::DropOnFolder(const QByteArray& folder, const QMimeData* dropped,
                                  Qt::DropAction action) {
    const DropItems items = ReadDropItems(dropped);
    if (items.paths.empty())
        return;
    const std::string target = folder.isEmpty() ? m_folder : WithSlash(folder.toStdString());
    if (target.empty())
        return;
    DropChoice choice = action == Qt::CopyAction ? DropChoice::Copy : DropChoice::Move;
    // Between two computers, or from the desktop, the user says what to do.
    if (items.computer != MachineLabel() || items.fromDesktop)
        choice = askDrop ? askDrop(QCursor::pos()) : AskDropChoice(this, QCursor::pos());
    Receive(items.computer, items.paths, target, choice);
}

void ExplorerWindow::Receive(const QString& sourceComputer, const std::vector<std::string>& paths,
                             const std::string& folder, DropChoice choice) {
    if (choice == DropChoice::Cancel || folder.empty())
        return;
    const bool local = sourceComputer == QString::fromLatin1(kLocalLabel);
    for (const std::string& source : paths) {
        const std::string target = WithSlash(folder) + LastComponent(source);
        if (sourceComputer == MachineLabel() && CompareNoCase(source, target) == 0)
            continue;
        if (WithSlash(folder).rfind(WithSlash(source), 0) == 0 && sourceComputer == MachineLabel())
            continue; // a folder into itself
        if (choice == DropChoice::Shortcut) {
            if (!local || m_remote)
                continue;
            std::string name = LastComponent(source);
            const auto dot = name.rfind('.');
            if (dot != std::string::npos && dot > 0 && name.size() - dot <= 4)
                name.erase(dot);
            const std::string shortcut = WithSlash(folder) + "Shortcut to " + name + ".lnk";
            QPointer<QObject> self(this);
            m_worker->Post([self, this, source, shortcut](FileSystem* files) {
                const bool made = files && files->CreateShortcut(source, shortcut, {});
                ExplorerWorker::HandBack(self, [this, made] {
                    if (made)
                        Refresh();
                });
            });
            continue;
        }
        if (!m_context.transfer)
            continue;
        ExplorerTransfer transfer{sourceComputer, QByteArray::fromStdString(source), MachineLabel(),
                                  QByteArray::fromStdString(target), choice == DropChoice::Move};
        QPointer<QObject> self(this);
        m_context.transfer(transfer, [self, this](int result) {
            if (self && result != 0)
                Refresh();
        });
    }
}
