#include "app/peer/transfer/TransferAgentQueue.h"

#include "app/peer/transfer/TransferPartRecord.h"
#include "app/peer/transfer/TransferQueueFile.h"
#include "app/peer/transfer/TransferResume.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
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
                                       TransferDownloadOptions options,
                                       std::filesystem::path queueFile)
    : m_observer(observer)
    , m_friends(friends)
    , m_options(options)
    , m_queueFile(std::move(queueFile)) {}

TransferAgentQueue::~TransferAgentQueue() {
    StopWorker(true);
}

bool TransferAgentQueue::AddTransfer(const std::string& sourcePath, const std::string& sourceHost,
                                     const std::string& destinationPath,
                                     const std::string& destinationHost) {
    // The file is read before this queue first writes it, so a download
    // handed over before the saved rows came back does not wipe them.
    RestoreSaved();
    return Enqueue({sourcePath, sourceHost, destinationPath, destinationHost}, true);
}

bool TransferAgentQueue::Enqueue(TransferItem item, bool save) {
    if (!Acceptable(item.sourcePath, kTransferItemPathText) ||
        !Acceptable(item.destinationPath, kTransferItemPathText) ||
        !Acceptable(item.sourceHost, kTransferItemHostText) ||
        !Acceptable(item.destinationHost, kTransferItemHostText))
        return false;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& row : m_rows) {
            if (row.state != State::Finished && SameItem(row.item, item))
                return false;
        }
        Row added;
        added.shown = TransferQueueRow{item.sourcePath, item.sourceHost, "Waiting"};
        added.item = std::move(item);
        added.id = m_nextId++;
        m_rows.push_back(std::move(added));
        if (m_observer)
            m_observer->RowAdded(static_cast<int>(m_rows.size()) - 1, m_rows.back().shown);
        if (save)
            SaveQueue();
    }
    StartWorker();
    return true;
}

int TransferAgentQueue::RestoreSaved() {
    int restored = 0;
    std::call_once(m_restoreOnce, [&] { restored = RestoreRows(); });
    return restored;
}

int TransferAgentQueue::RestoreRows() {
    const std::vector<SavedTransfer> rows = LoadSavedTransfers(m_queueFile);
    if (rows.empty())
        return 0;
    int restored = 0;
    for (const SavedTransfer& saved : rows) {
        const TransferItem& item = saved.item;
        if (saved.finalState.empty()) {
            restored += Enqueue(item, false) ? 1 : 0;
            continue;
        }
        // An ended download shows its final state again, until cleared.
        std::lock_guard lock(m_mutex);
        Row ended;
        ended.shown = TransferQueueRow{item.sourcePath, item.sourceHost, saved.finalState};
        ended.item = item;
        ended.state = State::Finished;
        ended.id = m_nextId++;
        m_rows.push_back(std::move(ended));
        if (m_observer)
            m_observer->RowAdded(static_cast<int>(m_rows.size()) - 1, m_rows.back().shown);
    }
    // Written once for all: a row at a time would write the file once per row.
    std::lock_guard lock(m_mutex);
    SaveQueue();
    return restored;
}

bool TransferAgentQueue::StartWorker() {
    std::lock_guard threadLock(m_threadMutex);
    std::vector<Worker*> starting;
    {
        std::lock_guard lock(m_mutex);
        // A worker told to stop looks at the flag under this lock before it
        // ends, so setting it again here keeps it at work.
        m_running.store(true);
        int idle = 0;
        for (const Worker& worker : m_workers)
            idle += worker.busy ? 0 : 1;
        // One worker for each host that has waiting rows and none in hand.
        std::vector<std::string> hosts;
        int wanted = 0;
        for (const Row& row : m_rows) {
            if (row.state != State::Waiting || HostInHand(row.item.sourceHost) ||
                std::any_of(hosts.begin(), hosts.end(), [&](const std::string& host) {
                    return EqualIgnoringAsciiCase(host, row.item.sourceHost);
                }))
                continue;
            hosts.push_back(row.item.sourceHost);
            ++wanted;
        }
        // Busy workers with nothing in hand take rows too.
        for (const Worker& worker : m_workers)
            wanted -= worker.busy && worker.rowId == 0 ? 1 : 0;
        for (Worker& worker : m_workers) {
            if (wanted <= 0 || idle == 0)
                break;
            if (worker.busy)
                continue;
            worker.busy = true;
            starting.push_back(&worker);
            --wanted;
            --idle;
        }
    }
    for (Worker* worker : starting) {
        // A worker that has ended is joined before the next one is recorded.
        if (worker->thread.joinable())
            worker->thread.join();
        try {
            worker->thread = std::thread(&TransferAgentQueue::Run, this, std::ref(*worker));
        } catch (const std::system_error&) {
            std::lock_guard lock(m_mutex);
            worker->busy = false;
        }
    }
    return !starting.empty();
}

void TransferAgentQueue::RequestStop() {
    m_running.store(false);
    for (Worker& worker : m_workers)
        worker.going.store(false);
}

bool TransferAgentQueue::StopWorker(bool wait) {
    RequestStop();
    std::lock_guard threadLock(m_threadMutex);
    bool started = false;
    for (Worker& worker : m_workers) {
        if (!worker.thread.joinable())
            continue;
        started = true;
        if (wait && worker.thread.get_id() != std::this_thread::get_id())
            worker.thread.join();
    }
    return started;
}

bool TransferAgentQueue::IsWorkerActive() const {
    std::lock_guard lock(m_mutex);
    return std::any_of(m_workers.begin(), m_workers.end(),
                       [](const Worker& worker) { return worker.busy; });
}

bool TransferAgentQueue::Remove(const std::string& fileName, const std::string& host) {
    std::lock_guard lock(m_mutex);
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        const Row& candidate = m_rows[row];
        if (candidate.shown.fileName != fileName || candidate.shown.host != host)
            continue;
        // The worker finds its row gone and drops the part file.
        for (Worker& worker : m_workers)
            if (worker.busy && worker.rowId == candidate.id)
                worker.going.store(false);
        m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(row));
        if (m_observer)
            m_observer->RowRemoved(static_cast<int>(row));
        SaveQueue();
        return true;
    }
    return false;
}

int TransferAgentQueue::ClearFinished() {
    std::lock_guard lock(m_mutex);
    int cleared = 0;
    // From the back, so the numbers told to the observer stay right.
    for (std::size_t row = m_rows.size(); row-- > 0;) {
        if (m_rows[row].state != State::Finished)
            continue;
        m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(row));
        if (m_observer)
            m_observer->RowRemoved(static_cast<int>(row));
        ++cleared;
    }
    if (cleared > 0)
        SaveQueue();
    return cleared;
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

int TransferAgentQueue::PendingCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count_if(
        m_rows.begin(), m_rows.end(), [](const Row& row) { return row.state != State::Finished; }));
}

bool TransferAgentQueue::Pending() const {
    return std::any_of(m_rows.begin(), m_rows.end(),
                       [](const Row& row) { return row.state != State::Finished; });
}

TransferAgentQueue::Row* TransferAgentQueue::NextEligible() {
    for (Row& row : m_rows)
        if (row.state == State::Waiting && !HostInHand(row.item.sourceHost))
            return &row;
    return nullptr;
}

bool TransferAgentQueue::HostInHand(const std::string& host) const {
    return std::any_of(m_workers.begin(), m_workers.end(), [&](const Worker& worker) {
        return worker.rowId != 0 && EqualIgnoringAsciiCase(worker.host, host);
    });
}

TransferAgentQueue::Row* TransferAgentQueue::Find(std::uint64_t id) {
    auto found =
        std::find_if(m_rows.begin(), m_rows.end(), [id](const Row& row) { return row.id == id; });
    return found == m_rows.end() ? nullptr : &*found;
}

int TransferAgentQueue::IndexOf(const Row& row) const {
    return static_cast<int>(&row - m_rows.data());
}

void TransferAgentQueue::SetStatus(Row& row, const std::string& status) {
    row.shown.status = status;
    if (m_observer)
        m_observer->RowStatusChanged(IndexOf(row), row.shown.status);
}

void TransferAgentQueue::SaveQueue() const {
    if (m_queueFile.empty())
        return;
    // Every download still to do first; ended ones fill what room is left,
    // the oldest giving way. Rows keep their order.
    const auto ended = static_cast<std::size_t>(std::count_if(
        m_rows.begin(), m_rows.end(), [](const Row& row) { return row.state == State::Finished; }));
    const std::size_t pending = m_rows.size() - ended;
    const std::size_t room = kMostSavedTransfers - std::min(pending, kMostSavedTransfers);
    std::size_t endedToSkip = ended > room ? ended - room : 0;
    std::vector<SavedTransfer> rows;
    for (const Row& row : m_rows) {
        if (rows.size() >= kMostSavedTransfers)
            break;
        if (row.state != State::Finished) {
            rows.push_back({row.item, {}});
        } else if (endedToSkip > 0) {
            --endedToSkip;
        } else {
            rows.push_back({row.item, row.shown.status});
        }
    }
    // A queue that cannot be saved still runs; it only will not survive a restart.
    SaveTransferQueue(m_queueFile, rows);
}

void TransferAgentQueue::ReportProgress(std::uint64_t id, bool resuming, std::int64_t received,
                                        std::int64_t size) {
    if (size <= 0)
        return;
    // Truncated toward zero; a size past what received * 100 can hold is
    // counted in hundredths first.
    const std::int64_t hundred = received <= std::numeric_limits<std::int64_t>::max() / 100
                                     ? received * 100 / size
                                     : received / (size / 100);
    const int percent = static_cast<int>(std::clamp<std::int64_t>(hundred, 0, 100));
    std::lock_guard lock(m_mutex);
    Row* row = Find(id);
    if (!row || row->state != State::Active || percent == row->lastPercent)
        return;
    row->lastPercent = percent;
    SetStatus(*row, ProgressState(resuming, percent));
}

void TransferAgentQueue::Run(Worker& worker) {
    // Downloads yield to the user interface, as the lowest thread priority did.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);

    std::unique_lock lock(m_mutex);
    while (true) {
        Row* row = m_running.load() ? NextEligible() : nullptr;
        if (!row) {
            // Decided under the lock, so a row added after this point finds
            // this worker idle and starts a new one.
            worker.busy = false;
            worker.rowId = 0;
            const bool idle = std::none_of(m_workers.begin(), m_workers.end(),
                                           [](const Worker& other) { return other.busy; });
            const bool drained = idle && !Pending();
            lock.unlock();
            if (drained && m_autoClose.load() && m_observer)
                m_observer->AutoCloseRequested();
            return;
        }
        const std::uint64_t id = row->id;
        const TransferItem item = row->item;
        row->state = State::Active;
        row->lastPercent = 100;
        SetStatus(*row, "Transferring");
        worker.rowId = id;
        worker.host = item.sourceHost;
        // Cleared by a stop that came before this point, or after it.
        worker.going.store(true);
        if (!m_running.load())
            worker.going.store(false);
        lock.unlock();

        const DownloadOutcome outcome = DownloadResumable(
            item, m_friends, worker.going,
            [this, id](bool resuming, std::int64_t received, std::int64_t size) {
                ReportProgress(id, resuming, received, size);
            },
            m_options);

        lock.lock();
        row = Find(id);
        if (!row) {
            // Removed while in hand: nobody wants what it got so far. The host
            // stays in hand until then, so the same download queued again
            // cannot start writing the part file this is about to remove.
            std::error_code ignored;
            std::filesystem::remove(PartFileOf(item.destinationPath), ignored);
            std::filesystem::remove(PartRecordOf(item.destinationPath), ignored);
            worker.rowId = 0;
            continue;
        }
        worker.rowId = 0;
        if (outcome.result == DownloadResult::Stopped) {
            // Stopped with the workers: it goes on from here at the next start.
            row->state = State::Waiting;
            SetStatus(*row, "Waiting");
            continue;
        }
        row->state = State::Finished;
        SetStatus(*row, FinalTransferState(outcome));
        SaveQueue();
        if (outcome.result == DownloadResult::Done && m_observer) {
            lock.unlock();
            auto slash = item.destinationPath.rfind('/');
            if (slash != std::string::npos && slash > 0)
                m_observer->FolderChanged(item.destinationPath.substr(0, slash));
            lock.lock();
        }
    }
}
