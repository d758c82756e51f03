#pragma once

#include "app/explorer/DirectoryRows.h"
#include "app/explorer/ExplorerIcons.h"

#include <QMimeData>
#include <QStandardItemModel>
#include <functional>
#include <string>
#include <vector>

// The folder tree of one computer: the single root "/", each folder with one
// empty placeholder child until it is expanded, so it shows an expand button
// without being read. The window lists the subfolders on its worker and hands
// them in with SetChildren. User-interface thread.
class FolderTreeModel : public QStandardItemModel {
    Q_OBJECT
public:
    static constexpr int kPathRole = Qt::UserRole + 1;
    static constexpr int kListedRole = Qt::UserRole + 2;

    explicit FolderTreeModel(QObject* parent = nullptr);

    // Shares of this computer draw with the shared folder picture; empty for
    // a friend's computer.
    void SetSharedTest(std::function<bool(const std::string&)> isShared);
    // Drops everything below the root and gives it its placeholder again.
    void Reset();

    QModelIndex Root() const;
    std::string PathOf(const QModelIndex& index) const;
    // The item of the folder, when the tree holds it.
    QModelIndex Find(const std::string& folder) const;
    // Whether the item's children were read (else it holds a placeholder).
    bool IsListed(const QModelIndex& index) const;
    // Replaces the children of the folder's item with these, in this order.
    void SetChildren(const std::string& folder, const std::vector<Subfolder>& children);
    // Removes the folder's item, when present.
    void Remove(const std::string& folder);
    // Redraws the pictures after the share table changed.
    void RefreshIcons();
    // The machine label that drags carry ("127.0.0.1" for this computer).
    void SetMachineLabel(const QString& label) { m_machineLabel = label; }

    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

signals:
    void RenameRequested(const QByteArray& path, const QString& newName);
    void DropRequested(const QByteArray& folder, const QMimeData* data, Qt::DropAction action);

private:
    QStandardItem* ItemOf(const std::string& folder) const;
    QStandardItem* MakeItem(const std::string& path, bool hasSubfolders);
    QIcon IconOf(const std::string& path);

    std::function<bool(const std::string&)> m_isShared;
    ExplorerIcons m_icons;
    QString m_machineLabel;
};
