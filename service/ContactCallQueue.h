#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Calls to contacts that a bridge command or the listener asks for but need
// not wait for (the own address and the acquaintance notice to a contact just
// added), made one after another on a thread of its own. A contact whose
// address accepts and never answers then holds only this thread, never the
// bridge. Jobs bound their own calls; the engine's end cancels them, so a job
// must fail fast once its calls are cancelled.
class ContactCallQueue {
public:
    using Job = std::function<void()>;

    ContactCallQueue() = default;
    // Closes the queue (see Close).
    ~ContactCallQueue();
    ContactCallQueue(const ContactCallQueue&) = delete;
    ContactCallQueue& operator=(const ContactCallQueue&) = delete;

    // Queues job behind the others, starting the thread on the first one. On
    // a closed queue, or when no thread can be started, the job runs at once
    // on the caller's thread: it is never lost. A job that throws ends only
    // itself.
    void Post(Job job);
    // Returns once every job posted before has ended.
    void WaitUntilIdle();
    // Runs every job still queued, then ends the thread and waits for it;
    // jobs posted later run on their caller's thread.
    void Close();
    // How many jobs have ended.
    int Completed() const;

private:
    void Serve();
    static void RunQuietly(const Job& job);

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    bool m_running = false;
    bool m_closed = false;
    int m_completed = 0;
    std::thread m_thread;
};
