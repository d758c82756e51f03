#pragma once

#include "app/peer/search/NetworkSearchResults.h"
#include "app/shell/HandOverQueue.h"
#include "app/shell/search/SearchResultsModel.h"

#include <QObject>
#include <QString>
#include <cstddef>
#include <deque>
#include <mutex>

// Carries the result thread's row changes to the search window's model. The
// thread calls in under the rows' lock, so it only appends to a queue of its
// own and, when no drain is pending, posts one queued call: it never waits for
// the user-interface thread. That thread moves the queue into the model in
// batches, in the order the changes were made.
class SearchResultsFeed : public QObject, public NetworkSearchObserver {
    Q_OBJECT
public:
    // The largest batch one drain applies, so that a full reply of 4,096
    // results still leaves the window room to paint and answer between
    // batches (each batch costs a shift of the row numbers per row).
    static constexpr std::size_t kBatchLimit = 1024;

    explicit SearchResultsFeed(SearchResultsModel& model, QObject* parent = nullptr);

    void RowInserted(int position, const NetworkSearchRow& row) override;
    void RowsCleared() override;
    void SearchFailed(const std::string& message) override;

signals:
    // On the user-interface thread: the search could not be sent.
    void Failed(const QString& message);

private:
    void Push(SearchResultChange change);
    void Drain();

    SearchResultsModel& m_model;
    HandOverQueue<SearchResultChange> m_queue;
};
