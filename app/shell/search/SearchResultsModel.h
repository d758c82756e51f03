#pragma once

#include "app/peer/search/NetworkSearchResults.h"

#include <QAbstractTableModel>
#include <QString>
#include <array>
#include <cstddef>
#include <vector>

// The texts a row shows in the five columns, each passed through SafeText.
using SearchRowTexts = std::array<QString, 5>;
SearchRowTexts ShownTexts(const NetworkSearchRow& row);

// One change of the search results as the result thread made it: a row put at
// its sorted position with its texts made ready for display (on that thread,
// so the window does not spend its time on them), or every row removed.
struct SearchResultChange {
    enum class Kind { Insert, Clear };
    Kind kind = Kind::Insert;
    int position = 0;
    NetworkSearchRow row;
    SearchRowTexts texts;
};

// The rows the search window shows, in the columns "File title", "File name",
// "Host", "Location" and "Host IP address". It follows the result thread's
// rows change by change, so its order is theirs: sorted by "File title" in
// descending order, until a column is chosen to sort by: from then on it keeps
// its rows in that column's order itself, each arriving row put at its place.
// At most kRowLimit rows are kept in all; the rest are counted as left out.
// Each row keeps the texts as the peer sent them, which a
// download must name exactly, and their display form passed through SafeText,
// which is all a view ever paints. Lives on the user-interface thread.
class SearchResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 5;
    // A batch with more insertions than this resets the view once instead of
    // announcing every row: 4,096 rows arrive in one reply.
    static constexpr std::size_t kRowByRowLimit = 32;
    // Rows kept in all, whatever the number of replies.
    static constexpr std::size_t kRowLimit = 20000;

    explicit SearchResultsModel(QObject* parent = nullptr);

    // Applies the changes in their order.
    void Apply(const std::vector<SearchResultChange>& changes);
    // The row as the peer sent it, or null.
    const NetworkSearchRow* RawRow(int row) const;
    // Where a row with the same texts is now, or -1.
    int Find(const NetworkSearchRow& row) const;

    // Rows that arrived once kRowLimit were kept, since the last clearing.
    int LeftOut() const { return m_leftOut; }

    // Sorts by the column's shown text, case aside, and keeps that order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static QString ColumnTitle(int column);

signals:
    // After a batch that left rows out or a clearing that reset the count.
    void LeftOutChanged(int leftOut);

private:
    struct Shown {
        NetworkSearchRow raw;
        SearchRowTexts texts;
    };
    // Applies a large batch to the rows without telling the views.
    void ApplyAtOnce(const std::vector<SearchResultChange>& changes);
    // Where a row arriving goes: the result thread's place, or the chosen
    // column's order.
    std::size_t PlaceOf(const SearchResultChange& change) const;
    bool Before(const Shown& a, const Shown& b) const;
    bool Full() const { return m_rows.size() >= kRowLimit; }

    std::vector<Shown> m_rows;
    int m_leftOut = 0;
    // The column chosen to sort by; -1 while the result thread's order holds.
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
};
