#include "BackgroundLoop.h"

#include <algorithm>
#include <chrono>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The lowest priority for the calling thread only (on Linux a thread's nice
// value is its own); a refusal leaves it at normal priority.
void LowerOwnPriority() {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

} // namespace

bool BackgroundLoop::Control::Sleep(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    std::unique_lock hold(m_lock);
    while (m_run.load()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return true;
        auto step = std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(kSleepStepMs));
        m_wake.wait_for(hold, step, [&] { return !m_run.load(); });
    }
    return false;
}

BackgroundLoop::~BackgroundLoop() {
    StopAndWait();
    // Only a run destroying its own loop is left; it ends by its cleared flag.
    for (Run& run : m_runs)
        if (run.thread.joinable())
            run.thread.detach();
}

void BackgroundLoop::CollectEnded() {
    // Under m_lock. Only ended threads are joined here, so this never waits.
    for (auto it = m_runs.begin(); it != m_runs.end();) {
        if (it->control->m_ended.load() && it->thread.get_id() != std::this_thread::get_id()) {
            it->thread.join();
            it = m_runs.erase(it);
        } else {
            ++it;
        }
    }
}

bool BackgroundLoop::Start(Body body) {
    std::lock_guard hold(m_lock);
    CollectEnded();
    for (Run& run : m_runs) {
        if (run.thread.get_id() == std::this_thread::get_id()) {
            run.control->m_run.store(true);
            return false;
        }
    }
    for (Run& run : m_runs)
        if (run.control->m_run.load() && !run.control->m_ended.load())
            return false;
    auto control = std::make_shared<Control>();
    std::thread thread([control, body = std::move(body)] {
        LowerOwnPriority();
        try {
            body(*control);
        } catch (...) {
            // A loop that fails ends; the engine starts it again when needed.
        }
        control->m_ended.store(true);
    });
    m_runs.push_back(Run{std::move(control), std::move(thread)});
    ++m_startCount;
    return true;
}

void BackgroundLoop::RequestStop() {
    std::lock_guard hold(m_lock);
    for (Run& run : m_runs) {
        {
            std::lock_guard wake(run.control->m_lock);
            run.control->m_run.store(false);
        }
        run.control->m_wake.notify_all();
    }
}

void BackgroundLoop::StopAndWait() {
    RequestStop();
    std::vector<Run> runs;
    {
        std::lock_guard hold(m_lock);
        runs.swap(m_runs);
    }
    for (Run& run : runs) {
        if (run.thread.get_id() == std::this_thread::get_id()) {
            // Our own thread cannot be joined here; the object keeps it.
            std::lock_guard hold(m_lock);
            m_runs.push_back(std::move(run));
            continue;
        }
        if (run.thread.joinable())
            run.thread.join();
    }
}

bool BackgroundLoop::IsRunning() const {
    std::lock_guard hold(m_lock);
    for (const Run& run : m_runs)
        if (run.control->m_run.load() && !run.control->m_ended.load())
            return true;
    return false;
}

int BackgroundLoop::StartCount() const {
    std::lock_guard hold(m_lock);
    return m_startCount;
}
