#include "app/explorer/ExplorerWorker.h"

#include "app/files/FileSystem.h"

#include <QCoreApplication>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// Threads still running, so the program's end can wait for them.
std::mutex g_liveMutex;
std::condition_variable g_liveChanged;
int g_live = 0;

} // namespace

struct ExplorerWorker::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    int pending = 0;
    bool stop = false;
    FileSystemMaker make;
};

ExplorerWorker::ExplorerWorker(FileSystemMaker make)
    : m_state(std::make_shared<State>()) {
    m_state->make = std::move(make);
    {
        std::lock_guard lock(g_liveMutex);
        ++g_live;
    }
    std::thread(&ExplorerWorker::Run, m_state).detach();
}

ExplorerWorker::~ExplorerWorker() {
    std::lock_guard lock(m_state->mutex);
    m_state->stop = true;
    m_state->jobs.clear();
    m_state->wake.notify_all();
}

void ExplorerWorker::Post(Job job) {
    std::lock_guard lock(m_state->mutex);
    m_state->jobs.push_back(std::move(job));
    ++m_state->pending;
    m_state->wake.notify_all();
}

int ExplorerWorker::Pending() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->pending;
}

void ExplorerWorker::Run(std::shared_ptr<State> state) {
    std::unique_ptr<FileSystem> files;
    {
        FileSystemMaker make;
        {
            std::lock_guard lock(state->mutex);
            make = std::move(state->make);
        }
        if (make)
            files = make();
    }
    for (;;) {
        Job job;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stop || !state->jobs.empty(); });
            if (state->stop)
                break;
            job = std::move(state->jobs.front());
            state->jobs.pop_front();
        }
        job(files.get());
        std::lock_guard lock(state->mutex);
        --state->pending;
    }
    // A remote file system gives its instance back here, off the window thread.
    files.reset();
    state.reset();
    std::lock_guard lock(g_liveMutex);
    --g_live;
    g_liveChanged.notify_all();
}

void ExplorerWorker::HandBack(QPointer<QObject> context, std::function<void()> done) {
    // Posted to the application object, which outlives the windows; the
    // context is looked at only on the user-interface thread.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [context = std::move(context), done = std::move(done)] {
            if (context)
                done();
        },
        Qt::QueuedConnection);
}

bool ExplorerWorker::WaitForAll(std::chrono::milliseconds bound) {
    std::unique_lock lock(g_liveMutex);
    return g_liveChanged.wait_for(lock, bound, [] { return g_live == 0; });
}
