#include "app/explorer/FolderTreeModel.h"

#include "app/explorer/DirectoryListModel.h"

#include <QMimeData>

namespace {

std::string Trimmed(const std::string& folder) {
    if (folder.size() > 1 && folder.back() == '/')
        return folder.substr(0, folder.size() - 1);
    return folder;
}

QString Label(const std::string& path) {
    const std::string name = LastComponent(path);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

void AddPlaceholder(QStandardItem* item) {
    auto* placeholder = new QStandardItem;
    placeholder->setFlags(Qt::NoItemFlags);
    item->appendRow(placeholder);
}

} // namespace

FolderTreeModel::FolderTreeModel(QObject* parent)
    : QStandardItemModel(parent) {
    Reset();
}

void FolderTreeModel::SetSharedTest(std::function<bool(const std::string&)> isShared) {
    m_isShared = std::move(isShared);
    RefreshIcons();
}

void FolderTreeModel::Reset() {
    clear();
    QStandardItem* root = MakeItem("/", true);
    root->setText(QStringLiteral("/"));
    // The root is where everything is; it is never renamed or dragged.
    root->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled);
    appendRow(root);
}

QStandardItem* FolderTreeModel::MakeItem(const std::string& path, bool hasSubfolders) {
    auto* item = new QStandardItem(IconOf(path), Label(path));
    item->setData(QByteArray::fromStdString(Trimmed(path)), kPathRole);
    item->setData(false, kListedRole);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable |
                   Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled);
    if (hasSubfolders)
        AddPlaceholder(item);
    return item;
}

QIcon FolderTreeModel::IconOf(const std::string& path) {
    if (m_isShared && path != "/" && m_isShared(path))
        return m_icons.SharedFolder();
    return m_icons.Folder();
}

QModelIndex FolderTreeModel::Root() const {
    return index(0, 0);
}

std::string FolderTreeModel::PathOf(const QModelIndex& index) const {
    return data(index, kPathRole).toByteArray().toStdString();
}

bool FolderTreeModel::IsListed(const QModelIndex& index) const {
    return data(index, kListedRole).toBool();
}

QStandardItem* FolderTreeModel::ItemOf(const std::string& folder) const {
    const std::string wanted = Trimmed(folder);
    QStandardItem* item = this->item(0);
    if (item == nullptr || wanted.empty() || wanted.front() != '/')
        return nullptr;
    if (wanted == "/")
        return item;
    // Walk down component by component through the items already read.
    std::size_t start = 1;
    while (item != nullptr) {
        const std::size_t slash = wanted.find('/', start);
        const std::string prefix = wanted.substr(0, slash);
        QStandardItem* next = nullptr;
        for (int row = 0; row < item->rowCount(); ++row) {
            QStandardItem* child = item->child(row);
            if (child->data(kPathRole).toByteArray().toStdString() == prefix) {
                next = child;
                break;
            }
        }
        item = next;
        if (slash == std::string::npos)
            return item;
        start = slash + 1;
    }
    return nullptr;
}

QModelIndex FolderTreeModel::Find(const std::string& folder) const {
    QStandardItem* item = ItemOf(folder);
    return item ? item->index() : QModelIndex();
}

void FolderTreeModel::SetChildren(const std::string& folder,
                                  const std::vector<Subfolder>& children) {
    QStandardItem* item = ItemOf(folder);
    if (item == nullptr)
        return;
    if (item->rowCount() > 0)
        item->removeRows(0, item->rowCount());
    QList<QStandardItem*> rows;
    rows.reserve(static_cast<qsizetype>(children.size()));
    for (const Subfolder& child : children)
        rows.push_back(MakeItem(child.path, child.hasSubfolders));
    for (QStandardItem* row : rows)
        item->appendRow(row);
    item->setData(true, kListedRole);
}

void FolderTreeModel::Remove(const std::string& folder) {
    QStandardItem* item = ItemOf(folder);
    if (item == nullptr || item->parent() == nullptr)
        return;
    item->parent()->removeRow(item->row());
}

void FolderTreeModel::RefreshIcons() {
    std::vector<QStandardItem*> pending{item(0)};
    while (!pending.empty()) {
        QStandardItem* item = pending.back();
        pending.pop_back();
        if (item == nullptr)
            continue;
        const std::string path = item->data(kPathRole).toByteArray().toStdString();
        if (!path.empty())
            item->setIcon(IconOf(path));
        for (int row = 0; row < item->rowCount(); ++row)
            pending.push_back(item->child(row));
    }
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole)
        return QStandardItemModel::setData(index, value, role);
    const QString name = value.toString();
    if (name.isEmpty() || name == index.data(Qt::DisplayRole).toString())
        return false;
    // The label changes when the parent folder is read again after the move.
    emit RenameRequested(data(index, kPathRole).toByteArray(), name);
    return false;
}

QStringList FolderTreeModel::mimeTypes() const {
    return {QString::fromLatin1(DirectoryListModel::kItemMimeType),
            QStringLiteral("text/uri-list")};
}

QMimeData* FolderTreeModel::mimeData(const QModelIndexList& indexes) const {
    auto* data = new QMimeData;
    QByteArray items;
    for (const QModelIndex& index : indexes)
        if (index.isValid() && index != Root())
            items +=
                m_machineLabel.toUtf8() + '\n' + this->data(index, kPathRole).toByteArray() + '\n';
    data->setData(QString::fromLatin1(DirectoryListModel::kItemMimeType), items);
    return data;
}

Qt::DropActions FolderTreeModel::supportedDropActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

bool FolderTreeModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int, int,
                                   const QModelIndex& parent) {
    if (data == nullptr || !parent.isValid())
        return false;
    emit DropRequested(this->data(parent, kPathRole).toByteArray(), data, action);
    // The window moves or copies itself; the view must not change the tree.
    return false;
}
