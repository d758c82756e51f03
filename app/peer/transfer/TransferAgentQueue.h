#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the transfer agent's window shows of one queued download.
struct TransferQueueRow {
    std::string fileName; // the source path
    std::string host;     // the source host
    // "Waiting", "Transferring", "Transferring (42%)", "Resuming (42%)", then
    // one of the final states of FinalTransferState.
    std::string status;
};

// Whatever shows the queue (the transfer agent's window). The row calls come
// on the thread that changed the queue (the caller of AddTransfer, or a
// worker) while the queue's lock is held, so they arrive in the order of the
// changes; they must not block and must not call into the queue, except
// RequestStop. The default implementations ignore the call.
class TransferQueueObserver {
public:
    virtual ~TransferQueueObserver() = default;
    virtual void RowAdded(int row, const TransferQueueRow& shown);
    virtual void RowStatusChanged(int row, const std::string& status);
    virtual void RowRemoved(int row);
    // Without the lock, on a worker: a download wrote into this folder, so
    // windows showing it should refresh.
    virtual void FolderChanged(const std::string& folder);
    // Without the lock, on a worker: no row is waiting or in hand any more
    // while auto-close was set, so the window should stop and close.
    virtual void AutoCloseRequested();
};

// The transfer agent's queue of downloads and its workers. Up to
// kMostActive downloads run at once, each from another host; the downloads of
// one host run one after another in queue order. A finished row keeps its
// final state until ClearFinished. Rows and the items attached to them are
// guarded by one lock, which is never held across a network transfer.
class TransferAgentQueue {
public:
    static constexpr int kMostActive = 3;

    // observer and friends may be null; both must outlive the queue. With a
    // queueFile, the rows are written there on every change: the downloads
    // not yet done and the final state of those that ended (see RestoreSaved).
    TransferAgentQueue(TransferQueueObserver* observer, FriendResolver* friends,
                       TransferDownloadOptions options = {}, std::filesystem::path queueFile = {});
    // Stops the workers and waits for them.
    ~TransferAgentQueue();
    TransferAgentQueue(const TransferAgentQueue&) = delete;
    TransferAgentQueue& operator=(const TransferAgentQueue&) = delete;

    // Queues a download and starts a worker for it when its host has none.
    // False when a text is missing, a path is longer than 260 characters or a
    // host longer than 256, or a download waiting or in hand has the same four
    // texts (letter case ignored).
    bool AddTransfer(const std::string& sourcePath, const std::string& sourceHost,
                     const std::string& destinationPath, const std::string& destinationHost);
    // Queues the downloads the queue file kept from an earlier run, and shows
    // again the ended ones not yet cleared; how many downloads it queued.
    // Only the first call (or the first AddTransfer) reads the file.
    int RestoreSaved();

    // Starts workers for the waiting rows. False when none was started; a
    // worker told to stop that has not ended yet is told to go on instead.
    bool StartWorker();
    // Clears the run flag: the downloads in hand end before their next block
    // and go back to "Waiting", to go on from where they were once the
    // workers are started again. With wait, returns once every worker has
    // ended (never from a worker itself). False when no worker was started.
    bool StopWorker(bool wait);
    // Clears the run flags only; safe from any thread, observers included.
    void RequestStop();
    bool IsWorkerActive() const;

    // Set when the window was opened for a copy request, so it closes itself
    // once no row is waiting or in hand.
    void SetAutoClose(bool autoClose) { m_autoClose.store(autoClose); }

    // Takes the first row shown as fileName from host out of the queue; a
    // download in hand is ended first and its part file dropped. Named by its
    // texts, not its row: a window's row numbers trail the workers' changes.
    bool Remove(const std::string& fileName, const std::string& host);
    // Takes out every row in a final state; how many.
    int ClearFinished();

    std::vector<TransferQueueRow> Rows() const;
    int RowCount() const;
    // Rows waiting or in hand.
    int PendingCount() const;

private:
    enum class State { Waiting, Active, Finished };
    struct Row {
        TransferQueueRow shown;
        TransferItem item;
        State state = State::Waiting;
        std::uint64_t id = 0;
        // The last percentage shown: 100 at first, so a download done within
        // its first block keeps showing "Transferring".
        int lastPercent = 100;
    };
    struct Worker {
        std::thread thread;
        // This worker's run flag: cleared by a stop, or by removing its row.
        std::atomic<bool> going{false};
        bool busy = false;       // under m_mutex
        std::uint64_t rowId = 0; // under m_mutex: the row in hand, 0 for none
        // Under m_mutex: the host of the download in hand, kept until the
        // worker is done with it even when its row was removed meanwhile.
        std::string host;
    };

    // AddTransfer without reading the queue file first; save false leaves
    // writing the file to the caller.
    bool Enqueue(TransferItem item, bool save);
    int RestoreRows();
    void Run(Worker& worker);
    // Under m_mutex: the first waiting row whose host has no download in hand.
    Row* NextEligible();
    bool HostInHand(const std::string& host) const;
    Row* Find(std::uint64_t id);
    int IndexOf(const Row& row) const;
    void SetStatus(Row& row, const std::string& status);
    void ReportProgress(std::uint64_t id, bool resuming, std::int64_t received, std::int64_t size);
    // Under m_mutex: writes the rows to the queue file.
    void SaveQueue() const;
    bool Pending() const;

    TransferQueueObserver* m_observer;
    FriendResolver* m_friends;
    const TransferDownloadOptions m_options;
    const std::filesystem::path m_queueFile;

    mutable std::mutex m_mutex; // guards m_rows, m_nextId and the workers' busy and rowId
    std::vector<Row> m_rows;
    std::uint64_t m_nextId = 1;

    std::once_flag m_restoreOnce;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_autoClose{false};
    std::mutex m_threadMutex; // guards the workers' threads; taken before m_mutex, never inside it
    std::array<Worker, kMostActive> m_workers;
};
