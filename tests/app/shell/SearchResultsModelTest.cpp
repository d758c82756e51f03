// The search window's model against the rows it mirrors: whether changes reach
// it one by one or in one large batch (placed on row numbers), with a clear
// among them, it ends in the result rows' own order.

#include "app/shell/search/SearchResultsModel.h"

#include "ShellGuiTestSupport.h"
#include "app/peer/search/NetworkSearchResults.h"

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

} // namespace
