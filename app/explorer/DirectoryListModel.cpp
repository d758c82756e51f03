#include "app/explorer/DirectoryListModel.h"

#include "app/explorer/DropItems.h"

#include <QMimeData>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

QString Text(const std::string& bytes) {
    // File names need not be UTF-8: undecodable bytes show as replacement
    // characters, while the path itself is kept as bytes.
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

DirectoryListModel::DirectoryListModel(QObject* parent)
    : QAbstractTableModel(parent) {}

void DirectoryListModel::SetRows(std::vector<DirectoryRow> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    Sort();
    endResetModel();
}

void DirectoryListModel::Clear() {
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

void DirectoryListModel::SetSortKey(int key) {
    if (key < kByName || key > kByDate)
        key = kByName;
    if (key == m_sortKey)
        return;
    m_sortKey = key;
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    std::vector<std::string> paths;
    for (const QModelIndex& index : before)
        paths.push_back(Row(index) ? Row(index)->path : std::string());
    Sort();
    QModelIndexList after;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const int row = RowOfPath(paths[i]);
        after.push_back(row < 0 ? QModelIndex() : index(row, before[int(i)].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

void DirectoryListModel::SetSharedTest(std::function<bool(const std::string&)> isShared) {
    m_isShared = std::move(isShared);
}

bool DirectoryListModel::Before(const DirectoryRow& a, const DirectoryRow& b, int key) {
    if (a.isFolder != b.isFolder)
        return a.isFolder;
    if (a.isFolder)
        return CompareNoCase(a.name, b.name) < 0;
    switch (key) {
    case kByType:
        return CompareNoCase(a.typeName, b.typeName) < 0;
    case kBySize:
        // As the size texts compare: whole kilobytes rounded up.
        return (std::uint64_t(a.size) + 1023) / 1024 < (std::uint64_t(b.size) + 1023) / 1024;
    case kByDate:
        return a.modified < b.modified;
    default:
        return CompareNoCase(a.name, b.name) < 0;
    }
}

void DirectoryListModel::SortRows(std::vector<DirectoryRow>& rows, int key) {
    const auto before = [key](const DirectoryRow& a, const DirectoryRow& b) {
        return Before(a, b, key);
    };
    // Rows sorted on the worker cost one pass here. Stable, so equal entries
    // keep a fixed order from run to run.
    if (!std::is_sorted(rows.begin(), rows.end(), before))
        std::stable_sort(rows.begin(), rows.end(), before);
}

void DirectoryListModel::Sort() {
    SortRows(m_rows, m_sortKey);
}

const DirectoryRow* DirectoryListModel::Row(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return nullptr;
    return &m_rows[static_cast<std::size_t>(row)];
}

int DirectoryListModel::RowOfPath(const std::string& path) const {
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].path == path)
            return static_cast<int>(i);
    return -1;
}

int DirectoryListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DirectoryListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QString DirectoryListModel::FormatModified(std::int32_t seconds) {
    if (seconds == 0)
        return {};
    const std::time_t when = seconds;
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr)
        return {};
    // The column's "%m/%d/%y %I:%M:%S %p", with the two-digit year written out.
    char text[40];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d %s", local.tm_mon + 1,
                  local.tm_mday, local.tm_year % 100, (local.tm_hour + 11) % 12 + 1, local.tm_min,
                  local.tm_sec, local.tm_hour < 12 ? "AM" : "PM");
    return QString::fromLatin1(text);
}

QVariant DirectoryListModel::data(const QModelIndex& index, int role) const {
    const DirectoryRow* row = Row(index);
    if (row == nullptr)
        return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
        case kName:
            return Text(row->name);
        case kSize:
            return Text(row->sizeText);
        case kType:
            return Text(row->typeName);
        case kModified:
            return FormatModified(row->modified);
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == kName) {
        if (row->isFolder && m_isShared && m_isShared(row->path))
            return m_icons.SharedFolder();
        return m_icons.ByIndex(row->iconIndex, row->isFolder);
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(index.column() == kSize ? Qt::AlignRight | Qt::AlignVCenter
                                                           : Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

bool DirectoryListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const DirectoryRow* row = Row(index);
    if (row == nullptr || role != Qt::EditRole || index.column() != kName)
        return false;
    const QString name = value.toString();
    if (name.isEmpty() || name == Text(row->name))
        return false;
    // The row changes when the renamed folder is listed again.
    emit RenameRequested(QByteArray::fromStdString(row->path), name);
    return false;
}

QVariant DirectoryListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole) {
        static const char* const kTitles[] = {"Name", "Size", "Type", "Modified"};
        if (section >= 0 && section < kColumnCount)
            return QString::fromLatin1(kTitles[section]);
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(section == kSize ? Qt::AlignRight | Qt::AlignVCenter
                                                    : Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags DirectoryListModel::flags(const QModelIndex& index) const {
    const DirectoryRow* row = Row(index);
    if (row == nullptr)
        return Qt::ItemIsDropEnabled;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    if (index.column() == kName)
        flags |= Qt::ItemIsEditable;
    if (row->isFolder)
        flags |= Qt::ItemIsDropEnabled;
    return flags;
}

QStringList DirectoryListModel::mimeTypes() const {
    return {QString::fromLatin1(kItemMimeType), QStringLiteral("text/uri-list")};
}

QMimeData* DirectoryListModel::mimeData(const QModelIndexList& indexes) const {
    auto* data = new QMimeData;
    QByteArray items;
    QList<QUrl> urls;
    std::vector<int> seen;
    for (const QModelIndex& index : indexes) {
        const DirectoryRow* row = Row(index);
        if (row == nullptr || std::find(seen.begin(), seen.end(), index.row()) != seen.end())
            continue;
        seen.push_back(index.row());
        items += m_machineLabel.toUtf8() + '\n' +
                 QByteArray(row->path.data(), qsizetype(row->path.size())) + '\n';
        if (m_machineLabel == QStringLiteral("127.0.0.1"))
            urls.push_back(LocalFileUrl(row->path));
    }
    data->setData(QString::fromLatin1(kItemMimeType), items);
    // The desktop's file manager takes this computer's files as well.
    if (!urls.isEmpty())
        data->setUrls(urls);
    return data;
}

Qt::DropActions DirectoryListModel::supportedDropActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

bool DirectoryListModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int,
                                         const QModelIndex& parent) const {
    if (data == nullptr)
        return false;
    if (!data->hasFormat(QString::fromLatin1(kItemMimeType)) && !data->hasUrls())
        return false;
    const DirectoryRow* row = Row(parent);
    return row == nullptr || row->isFolder;
}

bool DirectoryListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row,
                                      int column, const QModelIndex& parent) {
    if (!canDropMimeData(data, action, row, column, parent))
        return false;
    const DirectoryRow* target = Row(parent);
    emit DropRequested(target ? QByteArray::fromStdString(target->path) : QByteArray(), data,
                       action);
    // The window moves or copies itself; the view must not remove rows.
    return false;
}
