#include "app/shell/search/SearchResultsModel.h"

#include "app/files/SafeText.h"

#include <algorithm>
#include <cstdint>

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

SearchRowTexts ShownTexts(const NetworkSearchRow& row) {
    const std::string* fields[] = {&row.fileTitle, &row.fileName, &row.host, &row.location,
                                   &row.hostAddress};
    SearchRowTexts texts;
    for (std::size_t column = 0; column < texts.size(); ++column)
        texts[column] = QString::fromStdString(SafeText(*fields[column]));
    return texts;
}

void SearchResultsModel::Apply(const std::vector<SearchResultChange>& changes) {
    const auto inserts = static_cast<std::size_t>(
        std::count_if(changes.begin(), changes.end(), [](const SearchResultChange& change) {
            return change.kind == SearchResultChange::Kind::Insert;
        }));
    if (inserts > kRowByRowLimit) {
        beginResetModel();
        ApplyAtOnce(changes);
        endResetModel();
        return;
    }
    for (const SearchResultChange& change : changes) {
        if (change.kind == SearchResultChange::Kind::Clear) {
            beginResetModel();
            m_rows.clear();
            endResetModel();
        } else if (change.position >= 0 &&
                   static_cast<std::size_t>(change.position) <= m_rows.size()) {
            beginInsertRows({}, change.position, change.position);
            m_rows.insert(m_rows.begin() + change.position, Shown{change.row, change.texts});
            endInsertRows();
        }
    }
}

void SearchResultsModel::ApplyAtOnce(const std::vector<SearchResultChange>& changes) {
    // The positions are replayed on row numbers, which are cheap to shift,
    // and each row is moved once at the end: shifting the rows themselves for
    // every insertion would take seconds for a few thousand.
    std::vector<Shown> incoming;
    std::vector<std::uint32_t> order(m_rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<std::uint32_t>(i);
    for (const SearchResultChange& change : changes) {
        if (change.kind == SearchResultChange::Kind::Clear) {
            order.clear();
        } else if (change.position >= 0 &&
                   static_cast<std::size_t>(change.position) <= order.size()) {
            order.insert(order.begin() + change.position,
                         static_cast<std::uint32_t>(m_rows.size() + incoming.size()));
            incoming.push_back(Shown{change.row, change.texts});
        }
    }
    std::vector<Shown> rows;
    rows.reserve(order.size());
    for (const std::size_t from : order)
        rows.push_back(
            std::move(from < m_rows.size() ? m_rows[from] : incoming[from - m_rows.size()]));
    m_rows = std::move(rows);
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
