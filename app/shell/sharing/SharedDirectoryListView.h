#pragma once

#include <QListView>
#include <memory>

class ShareEditor;
class ShareTable;
class SharedFolderListModel;

// The "Shared Directory List" window's content: the shared folders in list
// mode with the selection always shown; "Sharing..." on a row (its popup, a
// double click or Enter) opens the sharing dialog for that folder.
class SharedDirectoryListView : public QListView {
    Q_OBJECT
public:
    SharedDirectoryListView(std::shared_ptr<ShareTable> table, ShareEditor& editor,
                            QWidget* parent = nullptr);
    ~SharedDirectoryListView() override;

    SharedFolderListModel& Model() const { return *m_model; }
    // Opens the sharing dialog for the row; false when nothing changed.
    bool EditSharing(const QModelIndex& index);
    QSize sizeHint() const override { return {360, 200}; }

private:
    void ShowPopup(const QPoint& position);

    ShareEditor& m_editor;
    std::unique_ptr<SharedFolderListModel> m_model;
};
