#pragma once

#include "app/explorer/DirectoryRows.h"
#include "app/explorer/ExplorerIcons.h"

#include <QAbstractTableModel>
#include <QMimeData>
#include <functional>
#include <string>
#include <vector>

// The directory list: one model under the four view modes (the icon and list
// modes show column 0, details all four). Folders come first, in name order
// whatever the key; files by the sort key, ascending. Lives on the
// user-interface thread; rows arrive whole from the explorer's worker.
class DirectoryListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kName, kSize, kType, kModified, kColumnCount };
    enum SortKey { kByName, kByType, kBySize, kByDate };
    // The drag format between explorer windows: the machine label, a newline
    // and the path, one pair per dragged entry.
    static constexpr const char* kItemMimeType = "application/x-drovick-explorer-item";

    explicit DirectoryListModel(QObject* parent = nullptr);

    void SetRows(std::vector<DirectoryRow> rows);
    void Clear();
    // A key outside 0 to 3 means 0.
    void SetSortKey(int key);
    int SortKeyValue() const { return m_sortKey; }
    // Whether a folder of this computer is shared: those draw with the shared
    // folder picture. Empty for a friend's computer.
    void SetSharedTest(std::function<bool(const std::string&)> isShared);
    // The machine label that drags carry ("127.0.0.1" for this computer).
    void SetMachineLabel(const QString& label) { m_machineLabel = label; }

    const DirectoryRow* Row(int row) const;
    const DirectoryRow* Row(const QModelIndex& index) const { return Row(index.row()); }
    int RowOfPath(const std::string& path) const;
    std::size_t Count() const { return m_rows.size(); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

    // "%m/%d/%y %I:%M:%S %p" in local time; empty for 0.
    static QString FormatModified(std::int32_t seconds);
    // Sorts rows in the list's order for the key; any thread.
    static void SortRows(std::vector<DirectoryRow>& rows, int key);
    // True when a comes before b for the key.
    static bool Before(const DirectoryRow& a, const DirectoryRow& b, int key);

signals:
    // The user typed a new name for the entry at path.
    void RenameRequested(const QByteArray& path, const QString& newName);
    // Something was dropped: on a folder entry (its path) or on the list's
    // background (empty folder: the folder the list shows).
    void DropRequested(const QByteArray& folder, const QMimeData* data, Qt::DropAction action);

private:
    void Sort();

    std::vector<DirectoryRow> m_rows;
    int m_sortKey = kByName;
    std::function<bool(const std::string&)> m_isShared;
    QString m_machineLabel;
    mutable ExplorerIcons m_icons;
};
