#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <atomic>
#include <memory>
#include <vector>

class ShareTable;

// The shared directory list's rows: one per share table entry, shown without
// its trailing "/" and kept in ascending order (letter case ignored), every
// row with the shared-folder picture. It follows the table: a change made on
// any thread (a window, a share over the message bus, a reread) reaches the
// user-interface thread as one queued reload.
class SharedFolderListModel : public QAbstractListModel {
    Q_OBJECT
public:
    // The row's path as the table holds it, without the trailing "/".
    static constexpr int kPathRole = Qt::UserRole + 1;

    explicit SharedFolderListModel(std::shared_ptr<ShareTable> table, QObject* parent = nullptr);
    ~SharedFolderListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    // After every reload that followed a change of the table.
    void Reloaded();

private:
    void Reload();

    std::shared_ptr<ShareTable> m_table;
    int m_listener = 0;
    // Set by the listener, cleared by the reload: a burst of changes costs one.
    std::atomic<bool> m_reloadPending{false};
    std::vector<QByteArray> m_paths;
};
