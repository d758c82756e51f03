#include "app/shell/monitor/NetworkMonitorFeed.h"

#include "app/shell/monitor/NetworkMonitorModel.h"

#include <QMetaObject>
#include <algorithm>
#include <vector>

NetworkMonitorFeed::NetworkMonitorFeed(NetworkMonitorModel& model, QObject* parent)
    : QObject(parent)
    , m_model(model) {}

void NetworkMonitorFeed::AppendEvent(const std::string& line) {
    bool post = false;
    {
        std::lock_guard lock(m_mutex);
        // The model keeps no more than its capacity, so neither does a queue
        // that waits for a stalled window.
        if (m_queue.size() >= m_model.Capacity())
            m_queue.pop_front();
        m_queue.push_back(line);
        post = !m_drainPosted;
        m_drainPosted = true;
    }
    // Posting never blocks; when the feed is destroyed first, Qt drops the call.
    if (post)
        QMetaObject::invokeMethod(this, &NetworkMonitorFeed::Drain, Qt::QueuedConnection);
}

void NetworkMonitorFeed::Drain() {
    std::vector<std::string> taken;
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
