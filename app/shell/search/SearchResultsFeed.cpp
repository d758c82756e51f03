#include "app/shell/search/SearchResultsFeed.h"

#include <QMetaObject>
#include <algorithm>
#include <iterator>
#include <vector>

SearchResultsFeed::SearchResultsFeed(SearchResultsModel& model, QObject* parent)
    : QObject(parent)
    , m_model(model) {}

void SearchResultsFeed::RowInserted(int position, const NetworkSearchRow& row) {
    Push({SearchResultChange::Kind::Insert, position, row, ShownTexts(row)});
}

void SearchResultsFeed::RowsCleared() {
    Push({SearchResultChange::Kind::Clear, 0, {}, {}});
}

void SearchResultsFeed::SearchFailed(const std::string& message) {
    // A signal across threads is queued; nothing here waits for the window.
    emit Failed(QString::fromStdString(message));
}

void SearchResultsFeed::Push(SearchResultChange change) {
    const bool clears = change.kind == SearchResultChange::Kind::Clear;
    const bool post =
        m_queue.Push(std::move(change), [clears](std::deque<SearchResultChange>& queue) {
            // Rows a clear removes need never reach the model.
            if (clears)
                queue.clear();
        });
    // Posting never blocks; when the feed is gone first, Qt drops the call.
    if (post)
        QMetaObject::invokeMethod(this, &SearchResultsFeed::Drain, Qt::QueuedConnection);
}

void SearchResultsFeed::Drain() {
    bool more = false;
    std::vector<SearchResultChange> taken = m_queue.Take(kBatchLimit, more);
    if (more)
        QMetaObject::invokeMethod(this, &SearchResultsFeed::Drain, Qt::QueuedConnection);
    if (!taken.empty())
        m_model.Apply(taken);
}
