#include "app/shell/monitor/NetworkMonitorFeed.h"

#include "app/shell/monitor/NetworkMonitorModel.h"

#include <QMetaObject>
#include <algorithm>
#include <vector>

NetworkMonitorFeed::NetworkMonitorFeed(NetworkMonitorModel& model, QObject* parent)
    : QObject(parent)
    , m_model(model) {}

void NetworkMonitorFeed::AppendEvent(const std::string& line) {
    // The model keeps no more than its capacity, so neither does a queue that
    // waits for a stalled window.
    const std::size_t capacity = m_model.Capacity();
    const bool post = m_queue.Push(line, [capacity](std::deque<std::string>& queue) {
        if (queue.size() >= capacity)
            queue.pop_front();
    });
    // Posting never blocks; when the feed is destroyed first, Qt drops the call.
    if (post)
        QMetaObject::invokeMethod(this, &NetworkMonitorFeed::Drain, Qt::QueuedConnection);
}

void NetworkMonitorFeed::Drain() {
    bool more = false;
    std::vector<std::string> taken = m_queue.Take(kBatchLimit, more);
    if (more)
        QMetaObject::invokeMethod(this, &NetworkMonitorFeed::Drain, Qt::QueuedConnection);
    if (taken.empty())
        return;
    // Text conversion happens here, off the workers' path and outside the lock.
    std::vector<QString> rows;
    rows.reserve(taken.size());
    for (const std::string& line : taken)
        rows.push_back(QString::fromStdString(line));
    m_model.AppendRows(std::move(rows));
    emit RowsAppended();
}
