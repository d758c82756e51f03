#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the transfer agent's window shows of one queued download.
struct TransferQueueRow {
    std::string fileName; // the source path
    std::string host;     // the source host
    std::string status;   // "Waiting", "Transferring", "Transferring (42%)"
};

// Whatever shows the queue (the transfer agent's window). The row calls come
// on the thread that changed the queue (the caller of AddTransfer, or the
// worker) while the queue's lock is held, so they arrive in the order of the
// changes; they must not block and must not call into the queue, except
// RequestStop. The default implementations ignore the call.
class TransferQueueObserver {
public:
    virtual ~TransferQueueObserver() = default;
    virtual void RowAdded(int row, const TransferQueueRow& shown);
    virtual void RowStatusChanged(int row, const std::string& status);
    virtual void RowRemoved(int row);
    // Without the lock, on the worker: a download wrote into this folder, so
    // windows showing it should refresh.
    virtual void FolderChanged(const std::string& folder);
    // Without the lock, on the worker: the queue ran empty while auto-close
    // was set, so the window should stop the worker and close.
    virtual void AutoCloseRequested();
};

// The transfer agent's queue of pending downloads and its one worker thread,
// which works the queue off from the front, one download after another. Rows
// and the items attached to them are guarded by one lock, which is never held
// across the network transfer.
class TransferAgentQueue {
public:
    // observer and friends may be null; both must outlive the queue.
    TransferAgentQueue(TransferQueueObserver* observer, FriendResolver* friends,
                       TransferDownloadOptions options = {});
    // Stops the worker and waits for it.
    ~TransferAgentQueue();
    TransferAgentQueue(const TransferAgentQueue&) = delete;
    TransferAgentQueue& operator=(const TransferAgentQueue&) = delete;

    // Queues a download and starts the worker when it is not running. False
    // when a text is missing, a path is longer than 260 characters or a host
    // longer than 256, or a queued download has the same four texts (letter
    // case ignored).
    bool AddTransfer(const std::string& sourcePath, const std::string& sourceHost,
                     const std::string& destinationPath, const std::string& destinationHost);

    // Refused (false) while the worker runs and has not been told to stop; a
    // worker told to stop that has not ended yet is told to go on instead.
    bool StartWorker();
    // Clears the run flag: the download in hand ends before its next block and
    // the remaining rows stay until the worker is started again. With wait,
    // returns once the worker has ended (never from the worker itself). False
    // when no worker was started.
    bool StopWorker(bool wait);
    // Clears the run flag only; safe from any thread, observers included.
    void RequestStop() { m_running.store(false); }
    bool IsWorkerActive() const;

    // Set when the window was opened for a copy request, so it closes itself
    // once the queue is empty.
    void SetAutoClose(bool autoClose) { m_autoClose.store(autoClose); }

    // Takes the first waiting download shown as fileName from host out of the
    // queue (the one in hand is ended with StopWorker instead). Named by its
    // texts, not its row: a window's row numbers trail the worker's changes.
    bool RemoveWaiting(const std::string& fileName, const std::string& host);

    std::vector<TransferQueueRow> Rows() const;
    int RowCount() const;

private:
    struct Row {
        TransferQueueRow shown;
        // Detached (null) once the worker has taken the row's download.
        std::unique_ptr<TransferItem> item;
    };

    void Run();
    void ReportProgress(std::int64_t received, std::int32_t size);

    TransferQueueObserver* m_observer;
    FriendResolver* m_friends;
    const TransferDownloadOptions m_options;

    mutable std::mutex m_mutex; // guards the members below it up to m_workerActive
    std::vector<Row> m_rows;
    // The last percentage shown: 100 at first and never reset, so a first
    // download done within its first block keeps showing "Transferring".
    int m_lastPercent = 100;
    // True from a start until the worker has decided, under the lock, to end.
    bool m_workerActive = false;

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_autoClose{false};
    std::mutex m_threadMutex; // guards m_thread; taken before m_mutex, never inside it
    std::thread m_thread;
};
