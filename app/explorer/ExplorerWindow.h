#pragma once

#include "app/explorer/ExplorerContext.h"

#include <QPointer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class DirectoryListModel;
class ExplorerWorker;
class FolderTreeModel;
class QItemSelectionModel;
class QLabel;
class QListView;
class QMimeData;
class QSplitter;
class QStackedWidget;
class QTreeView;

// One computer, this one or a friend's: the folder tree beside the directory
// list. Every call of its file system runs on the window's worker; answers
// come back through queued calls, each tagged so a late answer for a folder
// no longer shown is dropped. The window can be closed while it waits.
class ExplorerWindow : public QWidget {
    Q_OBJECT
public:
    // address: "(Local)" for this computer, else a friend's dotted address or
    // e-mail address (resolved on the worker).
    ExplorerWindow(ExplorerContext context, const QString& address, bool remote,
                   QWidget* parent = nullptr);
    ~ExplorerWindow() override;

    bool IsRemote() const { return m_remote; }
    QString Address() const { return m_address; }
    // "127.0.0.1" for this computer, else the friend's address.
    QString MachineLabel() const;
    std::string CurrentFolder() const { return m_folder; }
    // True while the worker has calls to answer.
    bool IsBusy() const;

    // Lists the folder in the list and selects it in the tree as far as read.
    void Navigate(const std::string& folder);
    void Refresh();
    // 0 large icons, 1 small icons, 2 list, 3 details; others mean 0.
    void SetViewMode(int mode);
    int ViewMode() const { return m_viewMode; }
    void SetSortKey(int key);
    int SortKey() const;
    int TreeWidth() const;

    // The commands on the selected entry of the list.
    std::string SelectedPath() const;
    void SelectPath(const std::string& path);
    void OpenSelected();
    void Open(const std::string& path);
    void DeleteSelected();
    void Rename(const std::string& path, const std::string& newName);
    void NewFolder();
    void ShowProperties();
    // Copies or moves each path of the other computer into the folder.
    void Receive(const QString& sourceComputer, const std::vector<std::string>& paths,
                 const std::string& folder, DropChoice choice);

    DirectoryListModel& List() { return *m_list; }
    FolderTreeModel& Tree() { return *m_tree; }
    QTreeView* TreeView() const { return m_treeView; }
    QTreeView* DetailsView() const { return m_details; }
    QListView* IconView() const { return m_icons; }
    QWidget* CurrentListView() const;

    // Asks which drop to make at the cursor ("&Copy Here", "&Move Here",
    // "Create &Shortcut", "C&ancel"); tests replace it.
    std::function<DropChoice(const QPoint&)> askDrop;

signals:
    // The worker finished listing the folder (shown or not).
    void FolderListed(const QString& folder, int entries);
    void TitleChanged(const QString& title);

private:
    void BuildViews();
    void ConnectTree();
    void ExpandFolder(const QModelIndex& index);
    void ListFolder(const std::string& folder);
    void ShowBusy(bool busy);
    void DropOnFolder(const QByteArray& folder, const QMimeData* data, Qt::DropAction action);
    void AfterChange(const std::string& folderToForget);

    ExplorerContext m_context;
    const QString m_requested;
    QString m_address;
    const bool m_remote;
    std::unique_ptr<ExplorerWorker> m_worker;
    std::string m_folder;
    std::uint64_t m_listing = 0; // tag of the listing that counts
    int m_viewMode = 0;
    int m_shareListener = 0;

    FolderTreeModel* m_tree;
    DirectoryListModel* m_list;
    QSplitter* m_splitter;
    QTreeView* m_treeView;
    QStackedWidget* m_stack;
    QListView* m_icons;
    QTreeView* m_details;
    QItemSelectionModel* m_selection;
    QLabel* m_status;
};
