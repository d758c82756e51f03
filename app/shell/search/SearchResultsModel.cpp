#include "app/shell/search/SearchResultsModel.h"

#include "app/files/SafeText.h"

#include <algorithm>

namespace {

bool SameRow(const NetworkSearchRow& a, const NetworkSearchRow& b) {
    return a.fileTitle == b.fileTitle && a.fileName == b.fileName && a.host == b.host &&
           a.location == b.location && a.hostAddress == b.hostAddress;
}

} // namespace

SearchResultsModel::SearchResultsModel(QObject* parent)
    : QAbstractTableModel(parent) {}

QString SearchResultsModel::ColumnTitle(int column) {
    static const char* const kTitles[kColumns] = {"File title", "File name", "Host", "Location",
                                                  "Host IP address"};
    return column >= 0 && column < kColumns ? QString::fromLatin1(kTitles[column]) : QString();
}

SearchResultsModel::Shown SearchResultsModel::MakeShown(NetworkSearchRow row) {
    Shown shown;
    const std::string* fields[kColumns] = {&row.fileTitle, &row.fileName, &row.host,
                                           &row.location, &row.hostAddress};
    for (int column = 0; column < kColumns; ++column)
        shown.texts[static_cast<std::size_t>(column)] =
            QString::fromStdString(SafeText(*fields[column]));
    shown.raw = std::move(row);
    return shown;
}

bool SearchResultsModel::Put(int position, NetworkSearchRow row) {
    if (position < 0 || static_cast<std::size_t>(position) > m_rows.size())
        return false;
    m_rows.insert(m_rows.begin() + position, MakeShown(std::move(row)));
    return true;
}

void SearchResultsModel::Apply(const std::vector<SearchResultChange>& changes) {
    const auto inserts = static_cast<std::size_t>(
        std::count_if(changes.begin(), changes.end(), [](const SearchResultChange& change) {
            return change.kind == SearchResultChange::Kind::Insert;
        }));
    const bool wholeReset = inserts > kRowByRowLimit;
    if (wholeReset)
        beginResetModel();
    for (const SearchResultChange& change : changes) {
        if (change.kind == SearchResultChange::Kind::Clear) {
            if (!wholeReset)
                beginResetModel();
            m_rows.clear();
            if (!wholeReset)
                endResetModel();
            continue;
        }
        if (change.position < 0 || static_cast<std::size_t>(change.position) > m_rows.size())
            continue;
        if (wholeReset) {
            Put(change.position, change.row);
            continue;
        }
        beginInsertRows({}, change.position, change.position);
        Put(change.position, change.row);
        endInsertRows();
    }
    if (wholeReset)
        endResetModel();
}

const NetworkSearchRow* SearchResultsModel::RawRow(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size())
        return nullptr;
    return &m_rows[static_cast<std::size_t>(row)].raw;
}

int SearchResultsModel::Find(const NetworkSearchRow& row) const {
    const auto found = std::find_if(m_rows.begin(), m_rows.end(),
                                    [&](const Shown& shown) { return SameRow(shown.raw, row); });
    return found == m_rows.end() ? -1 : static_cast<int>(found - m_rows.begin());
}

int SearchResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int SearchResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant SearchResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumns)
        return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return m_rows[static_cast<std::size_t>(index.row())]
        .texts[static_cast<std::size_t>(index.column())];
}

QVariant SearchResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return ColumnTitle(section);
}
