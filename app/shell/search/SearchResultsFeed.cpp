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
    bool post = false;
    {
        std::lock_guard lock(m_mutex);
        // Rows a clear removes need never reach the model.
        if (change.kind == SearchResultChange::Kind::Clear)
            m_queue.clear();
        m_queue.push_back(std::move(change));
        post = !m_drainPosted;
        m_drainPosted = true;
    }
    // Posting never blocks; when the feed is gone first, Qt drops the call.
    if (post)
        QMetaObject::invokeMethod(this, &SearchResultsFeed::Drain, Qt::QueuedConnection);
}

void SearchResultsFeed::Drain() {
    std::vector<SearchResultChange> taken;
    bool more = false;
    {
        std::lock_guard lock(m_mutex);
        const std::size_t count = std::min(m_queue.size(), kBatchLimit);
        taken.reserve(count);
        std::move(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(count),
                  std::back_inserter(taken));
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(count));
        more = !m_queue.empty();
        m_drainPosted = more;
    }
    if (more)
        QMetaObject::invokeMethod(this, &SearchResultsFeed::Drain, Qt::QueuedConnection);
    if (!taken.empty())
        m_model.Apply(taken);
}
