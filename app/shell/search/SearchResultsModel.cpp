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
    const int leftOutBefore = m_leftOut;
    const auto inserts = static_cast<std::size_t>(
        std::count_if(changes.begin(), changes.end(), [](const SearchResultChange& change) {
            return change.kind == SearchResultChange::Kind::Insert;
        }));
    if (inserts > kRowByRowLimit) {
        beginResetModel();
        ApplyAtOnce(changes);
        endResetModel();
    } else {
        for (const SearchResultChange& change : changes) {
            if (change.kind == SearchResultChange::Kind::Clear) {
                beginResetModel();
                m_rows.clear();
                m_leftOut = 0;
                endResetModel();
            } else if (Full()) {
                ++m_leftOut;
            } else if (change.position >= 0 &&
                       static_cast<std::size_t>(change.position) <= m_rows.size()) {
                const auto place = static_cast<int>(PlaceOf(change));
                beginInsertRows({}, place, place);
                m_rows.insert(m_rows.begin() + place, Shown{change.row, change.texts});
                endInsertRows();
            }
        }
    }
    if (m_leftOut != leftOutBefore)
        emit LeftOutChanged(m_leftOut);
}

void SearchResultsModel::ApplyAtOnce(const std::vector<SearchResultChange>& changes) {
    // The positions are replayed on row numbers, which are cheap to shift,
    // and each row is moved once at the end: shifting the rows themselves for
    // every insertion would take seconds for a few thousand. Once full, the
    // rows kept are a prefix of the thread's list in its order, so later
    // positions would not fit them: every later row is left out.
    std::vector<Shown> incoming;
    std::vector<std::uint32_t> order(m_rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<std::uint32_t>(i);
    for (const SearchResultChange& change : changes) {
        if (change.kind == SearchResultChange::Kind::Clear) {
            order.clear();
            m_leftOut = 0;
        } else if (order.size() >= kRowLimit) {
            ++m_leftOut;
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
    if (m_sortColumn >= 0)
        std::stable_sort(m_rows.begin(), m_rows.end(),
                         [this](const Shown& a, const Shown& b) { return Before(a, b); });
}

std::size_t SearchResultsModel::PlaceOf(const SearchResultChange& change) const {
    if (m_sortColumn < 0)
        return static_cast<std::size_t>(change.position);
    const Shown arriving{change.row, change.texts};
    const auto place = std::upper_bound(
        m_rows.begin(), m_rows.end(), arriving,
        [this](const Shown& a, const Shown& b) { return Before(a, b); });
    return static_cast<std::size_t>(place - m_rows.begin());
}

bool SearchResultsModel::Before(const Shown& a, const Shown& b) const {
    const auto column = static_cast<std::size_t>(m_sortColumn);
    const int order = a.texts[column].compare(b.texts[column], Qt::CaseInsensitive);
    return m_sortOrder == Qt::AscendingOrder ? order < 0 : order > 0;
}

void SearchResultsModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= kColumns)
        return;
    m_sortColumn = column;
    m_sortOrder = order;
    // The rows move as a whole; a view's current and selected rows go with them.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<std::size_t> sorted(m_rows.size());
    for (std::size_t i = 0; i < sorted.size(); ++i)
        sorted[i] = i;
    std::stable_sort(sorted.begin(), sorted.end(), [this](std::size_t a, std::size_t b) {
        return Before(m_rows[a], m_rows[b]);
    });
    std::vector<int> newPlace(m_rows.size());
    std::vector<Shown> rows;
    rows.reserve(m_rows.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        newPlace[sorted[i]] = static_cast<int>(i);
        rows.push_back(std::move(m_rows[sorted[i]]));
    }
    m_rows = std::move(rows);
    QModelIndexList after;
    for (const QModelIndex& index : before)
        after << this->index(newPlace[static_cast<std::size_t>(index.row())], index.column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
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
