#include "app/shell/frame/BackgroundCall.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex g_runningMutex;
std::condition_variable g_runningChanged;
int g_running = 0;

} // namespace

void RunInBackground(QObject* context, std::function<int()> work, std::function<void(int)> done) {
    QPointer<QObject> guard(context);
    {
        std::lock_guard lock(g_runningMutex);
        ++g_running;
    }
    // No parent: a call still waiting on a library dialog when the program
    // ends must not have its thread object destroyed under it.
    QThread* thread = QThread::create([guard, work = std::move(work), done = std::move(done)] {
        const int result = work();
        {
            std::lock_guard lock(g_runningMutex);
            --g_running;
        }
        g_runningChanged.notify_all();
        // Posted to the application object, which outlives the windows; the
        // context is looked at only on the user-interface thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, done, result] {
                if (guard && done)
                    done(result);
            },
            Qt::QueuedConnection);
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

bool WaitForBackgroundCalls(std::chrono::milliseconds limit) {
    std::unique_lock lock(g_runningMutex);
    return g_runningChanged.wait_for(lock, limit, [] { return g_running == 0; });
}
