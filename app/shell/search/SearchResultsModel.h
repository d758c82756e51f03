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
// descending order. Each row keeps the texts as the peer sent them, which a
// download must name exactly, and their display form passed through SafeText,
// which is all a view ever paints. Lives on the user-interface thread.
class SearchResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 5;
    // A batch with more insertions than this resets the view once instead of
    // announcing every row: 4,096 rows arrive in one reply.
    static constexpr std::size_t kRowByRowLimit = 32;

    explicit SearchResultsModel(QObject* parent = nullptr);

    // Applies the changes in their order.
    void Apply(const std::vector<SearchResultChange>& changes);
    // The row as the peer sent it, or null.
    const NetworkSearchRow* RawRow(int row) const;
    // Where a row with the same texts is now, or -1.
    int Find(const NetworkSearchRow& row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static QString ColumnTitle(int column);

private:
    struct Shown {
        NetworkSearchRow raw;
        SearchRowTexts texts;
    };
    // Applies a large batch to the rows without telling the views.
    void ApplyAtOnce(const std::vector<SearchResultChange>& changes);

    std::vector<Shown> m_rows;
};
