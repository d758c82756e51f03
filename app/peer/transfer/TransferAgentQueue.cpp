#include "app/peer/transfer/TransferAgentQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

void TransferQueueObserver::RowAdded(int, const TransferQueueRow&) {}
void TransferQueueObserver::RowStatusChanged(int, const std::string&) {}
void TransferQueueObserver::RowRemoved(int) {}
void TransferQueueObserver::FolderChanged(const std::string&) {}
void TransferQueueObserver::AutoCloseRequested() {}

namespace {

bool Acceptable(const std::string& text, std::size_t longest) {
    return !text.empty() && text.size() <= longest && text.find('\0') == std::string::npos;
}

bool SameItem(const TransferItem& a, const TransferItem& b) {
    return EqualIgnoringAsciiCase(a.sourcePath, b.sourcePath) &&
           EqualIgnoringAsciiCase(a.sourceHost, b.sourceHost) &&
           EqualIgnoringAsciiCase(a.destinationPath, b.destinationPath) &&
           EqualIgnoringAsciiCase(a.destinationHost, b.destinationHost);
}

} // namespace

TransferAgentQueue::TransferAgentQueue(TransferQueueObserver* observer, FriendResolver* friends,
                                       TransferDownloadOptions options)
    : m_observer(observer)
    , m_friends(friends)
    , m_options(options) {}

TransferAgentQueue::~TransferAgentQueue() {
    StopWorker(true);
    std::lock_guard threadLock(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}

bool TransferAgentQueue::AddTransfer(const std::string& sourcePath, const std::string& sourceHost,
                                     const std::string& destinationPath,
                                     const std::string& destinationHost) {
    if (!Acceptable(sourcePath, kTransferItemPathText) ||
        !Acceptable(destinationPath, kTransferItemPathText) ||
        !Acceptable(sourceHost, kTransferItemHostText) ||
        !Acceptable(destinationHost, kTransferItemHostText))
        return false;
    auto item = std::make_unique<TransferItem>(
        TransferItem{sourcePath, sourceHost, destinationPath, destinationHost});
    {
        std::lock_guard lock(m_mutex);
        // The download in hand has left its row, so asking for it again while
        // it runs queues it once more.
        for (const auto& row : m_rows) {
            if (row.item && SameItem(*row.item, *item))
                return false;
        }
        m_rows.push_back(Row{TransferQueueRow{sourcePath, sourceHost, "Waiting"}, std::move(item)});
        if (m_observer)
            m_observer->RowAdded(static_cast<int>(m_rows.size()) - 1, m_rows.back().shown);
    }
    StartWorker();
    return true;
}

bool TransferAgentQueue::StartWorker() {
    std::lock_guard threadLock(m_threadMutex);
    {
        std::lock_guard lock(m_mutex);
        if (m_workerActive) {
            // A worker told to stop looks at the flag under this lock before it
            // ends, so setting it again here keeps it at work on the new rows.
            m_running.store(true);
            return false;
        }
        m_workerActive = true;
        m_running.store(true);
    }
    // A worker that has ended is joined before the next one is recorded.
    if (m_thread.joinable())
        m_thread.join();
    try {
        m_thread = std::thread(&TransferAgentQueue::Run, this);
    } catch (const std::system_error&) {
        std::lock_guard lock(m_mutex);
        m_workerActive = false;
        m_running.store(false);
        return false;
    }
    return true;
}

bool TransferAgentQueue::StopWorker(bool wait) {
    m_running.store(false);
    std::lock_guard threadLock(m_threadMutex);
    if (!m_thread.joinable())
        return false;
    if (wait && m_thread.get_id() != std::this_thread::get_id()) {
        while (IsWorkerActive())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_thread.join();
    }
    return true;
}

bool TransferAgentQueue::IsWorkerActive() const {
    std::lock_guard lock(m_mutex);
    return m_workerActive;
}

bool TransferAgentQueue::RemoveWaiting(const std::string& fileName, const std::string& host) {
    std::lock_guard lock(m_mutex);
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        const Row& candidate = m_rows[row];
        if (!candidate.item || candidate.shown.fileName != fileName || candidate.shown.host != host)
            continue;
        m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(row));
        if (m_observer)
            m_observer->RowRemoved(static_cast<int>(row));
        return true;
    }
    return false;
}

std::vector<TransferQueueRow> TransferAgentQueue::Rows() const {
    std::lock_guard lock(m_mutex);
    std::vector<TransferQueueRow> rows;
    rows.reserve(m_rows.size());
    for (const auto& row : m_rows)
        rows.push_back(row.shown);
    return rows;
}

int TransferAgentQueue::RowCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_rows.size());
}

void TransferAgentQueue::ReportProgress(std::int64_t received, std::int32_t size) {
    if (size <= 0)
        return;
    int percent = static_cast<int>(std::clamp<std::int64_t>(received * 100 / size, 0, 100));
    std::lock_guard lock(m_mutex);
    if (percent == m_lastPercent || m_rows.empty())
        return;
    char status[32];
    std::snprintf(status, sizeof status, "Transferring (%i%%)", percent);
    m_rows.front().shown.status = status;
    m_lastPercent = percent;
    if (m_observer)
        m_observer->RowStatusChanged(0, m_rows.front().shown.status);
}

void TransferAgentQueue::Run() {
    // Downloads yield to the user interface, as the lowest thread priority did.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    auto progress = [this](std::int64_t received, std::int32_t size) {
        ReportProgress(received, size);
    };

    std::unique_lock lock(m_mutex);
    while (true) {
        if (m_rows.empty() || !m_running.load()) {
            // Decided under the lock, so a row added after this point finds the
            // worker inactive and starts a new one.
            m_workerActive = false;
            bool drained = m_rows.empty();
            lock.unlock();
            if (drained && m_autoClose.load() && m_observer)
                m_observer->AutoCloseRequested();
            return;
        }
        std::unique_ptr<TransferItem> item = std::move(m_rows.front().item);
        m_rows.front().shown.status = "Transferring";
        if (m_observer)
            m_observer->RowStatusChanged(0, m_rows.front().shown.status);
        lock.unlock();

        // A failed download is dropped like a finished one; the server's log
        // says why.
        if (item)
            DownloadTransferItem(*item, m_friends, m_running, progress, m_options);

        lock.lock();
        m_rows.erase(m_rows.begin());
        if (m_observer)
            m_observer->RowRemoved(0);
        lock.unlock();

        if (item && m_observer) {
            auto slash = item->destinationPath.rfind('/');
            if (slash != std::string::npos && slash > 0)
                m_observer->FolderChanged(item->destinationPath.substr(0, slash));
        }
        lock.lock();
    }
}
