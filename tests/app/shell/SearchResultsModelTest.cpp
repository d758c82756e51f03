// The search window's model against the rows it mirrors: whether changes reach
// it one by one or in one large batch (placed on row numbers), with a clear
// among them, it ends in the result rows' own order.

#include "app/shell/search/SearchResultsModel.h"

#include "ShellGuiTestSupport.h"
#include "app/peer/search/NetworkSearchResults.h"

#include <QPersistentModelIndex>
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class Recorder : public NetworkSearchObserver {
public:
    std::vector<SearchResultChange> changes;
    void RowInserted(int position, const NetworkSearchRow& row) override {
        changes.push_back({SearchResultChange::Kind::Insert, position, row, ShownTexts(row)});
    }
    void RowsCleared() override { changes.push_back({SearchResultChange::Kind::Clear, 0, {}, {}}); }
};

SearchReply Reply(const std::string& responder, int count, unsigned seed) {
    SearchReply reply;
    reply.responder = responder;
    for (int i = 0; i < count; ++i) {
        // Repeated titles in mixed case: ties keep their arrival order.
        const unsigned mixed = (static_cast<unsigned>(i) * 2654435761u) ^ seed;
        const std::string title = (mixed % 3 ? "track " : "Track ") + std::to_string(mixed % 50);
        reply.paths.push_back("/music/" + std::to_string(i) + "/" + title);
        reply.titles.push_back(title);
    }
    return reply;
}

std::vector<std::string> Order(const SearchResultsModel& model) {
    std::vector<std::string> rows;
    for (int row = 0; row < model.rowCount(); ++row)
        rows.push_back(model.RawRow(row)->location + "@" + model.RawRow(row)->hostAddress);
    return rows;
}

std::vector<std::string> Order(const std::vector<NetworkSearchRow>& rows) {
    std::vector<std::string> order;
    for (const NetworkSearchRow& row : rows)
        order.push_back(row.location + "@" + row.hostAddress);
    return order;
}

TEST(SearchResultsModelTest, BatchesOfAnySizeEndInTheResultsOwnOrder) {
    shelltest::Application();
    Recorder recorder;
    NetworkSearchResults results(&recorder);
    results.AddReply(Reply("gone", 300, 7), "127.0.0.7");
    results.Clear();
    results.AddReply(Reply("bo", 200, 1), "127.0.0.3");
    results.AddReply(Reply("cy", 500, 2), "127.0.0.4");

    SearchResultsModel oneByOne;
    for (const SearchResultChange& change : recorder.changes)
        oneByOne.Apply({change});
    SearchResultsModel atOnce;
    atOnce.Apply(recorder.changes);
    // A large batch into rows already shown.
    SearchResultsModel inTwo;
    const auto half = recorder.changes.begin() + static_cast<std::ptrdiff_t>(500);
    inTwo.Apply({recorder.changes.begin(), half});
    inTwo.Apply({half, recorder.changes.end()});

    const auto expected = Order(results.Rows());
    ASSERT_EQ(expected.size(), 700u);
    EXPECT_EQ(Order(oneByOne), expected);
    EXPECT_EQ(Order(atOnce), expected);
    EXPECT_EQ(Order(inTwo), expected);
}

std::vector<QString> Column(const SearchResultsModel& model, int column) {
    std::vector<QString> texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.push_back(model.index(row, column).data().toString());
    return texts;
}

bool SortedBy(const std::vector<QString>& texts, Qt::SortOrder order) {
    return std::is_sorted(texts.begin(), texts.end(), [order](const QString& a, const QString& b) {
        const int compared = a.compare(b, Qt::CaseInsensitive);
        return order == Qt::AscendingOrder ? compared < 0 : compared > 0;
    });
}

TEST(SearchResultsModelTest, AChosenColumnSortsTheRowsAndKeepsThemSortedAsRowsArrive) {
    shelltest::Application();
    Recorder recorder;
    NetworkSearchResults results(&recorder);
    results.AddReply(Reply("bo", 100, 1), "127.0.0.3");
    const std::size_t first = recorder.changes.size();
    results.AddReply(Reply("cy", 20, 2), "127.0.0.4");
    const std::size_t second = recorder.changes.size();
    results.AddReply(Reply("di", 300, 3), "127.0.0.5");

    SearchResultsModel model;
    model.Apply({recorder.changes.begin(), recorder.changes.begin() + static_cast<long>(first)});
    const QPersistentModelIndex current = model.index(17, 0);
    const NetworkSearchRow currentRow = *model.RawRow(17);
    model.sort(1, Qt::AscendingOrder);
    EXPECT_TRUE(SortedBy(Column(model, 1), Qt::AscendingOrder));
    // A view's current row moves with its row.
    ASSERT_TRUE(current.isValid());
    EXPECT_EQ(model.RawRow(current.row())->location, currentRow.location);

    // Rows one by one and a large batch land at their places in that order.
    for (std::size_t i = first; i < second; ++i)
        model.Apply({recorder.changes[i]});
    EXPECT_TRUE(SortedBy(Column(model, 1), Qt::AscendingOrder));
    model.Apply({recorder.changes.begin() + static_cast<long>(second), recorder.changes.end()});
    EXPECT_EQ(model.rowCount(), 420);
    EXPECT_TRUE(SortedBy(Column(model, 1), Qt::AscendingOrder));
    model.sort(2, Qt::DescendingOrder);
    EXPECT_TRUE(SortedBy(Column(model, 2), Qt::DescendingOrder));
    EXPECT_EQ(model.index(0, 2).data().toString(), QStringLiteral("di"));
}

TEST(SearchResultsModelTest, RowsAreCappedAcrossRepliesAndTheRestCountedAsLeftOut) {
    shelltest::Application();
    // Five full replies, each row put at the front (the thread's place for a
    // title higher than all before it).
    std::vector<SearchResultChange> changes;
    for (int i = 0; i < 5 * 4096; ++i) {
        NetworkSearchRow row;
        row.fileTitle = "title " + std::to_string(i);
        row.location = std::to_string(i);
        changes.push_back({SearchResultChange::Kind::Insert, 0, row, ShownTexts(row)});
    }
    SearchResultsModel model;
    int announced = -1;
    QObject::connect(&model, &SearchResultsModel::LeftOutChanged,
                     [&announced](int leftOut) { announced = leftOut; });
    // In the feed's batches, the last one a single row.
    const std::size_t total = changes.size();
    for (std::size_t at = 0; at + 1 < total; at += 1024)
        model.Apply({changes.begin() + static_cast<long>(at),
                     changes.begin() + static_cast<long>(std::min(at + 1024, total - 1))});
    model.Apply({changes.back()});
    ASSERT_EQ(static_cast<std::size_t>(model.rowCount()), SearchResultsModel::kRowLimit);
    EXPECT_EQ(model.LeftOut(), 5 * 4096 - 20000);
    EXPECT_EQ(announced, model.LeftOut());
    // The first 20,000 to arrive are kept, in the thread's order.
    EXPECT_EQ(model.RawRow(0)->location, "19999");
    EXPECT_EQ(model.RawRow(19999)->location, "0");

    model.Apply({{SearchResultChange::Kind::Clear, 0, {}, {}}});
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.LeftOut(), 0);
    EXPECT_EQ(announced, 0);
}

} // namespace
