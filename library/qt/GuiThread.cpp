#include "GuiThread.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace GuiThread {
namespace {

// Callers on other threads wait here; the quit wakes them all.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_quitting = false;
// The dialogs up at the moment, touched on the user-interface thread only.
std::vector<QPointer<QDialog>> g_openDialogs;

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool Quitting() {
    std::lock_guard lock(g_mutex);
    return g_quitting;
}

void OnAboutToQuit() {
    {
        std::lock_guard lock(g_mutex);
        g_quitting = true;
    }
    g_changed.notify_all();
    const auto open = g_openDialogs;
    for (const QPointer<QDialog>& dialog : open) {
        if (dialog)
            dialog->reject();
    }
}

struct Pending {
    bool done = false;
    int answer = 0;
};

} // namespace

void WatchQuit() {
    static std::once_flag once;
    std::call_once(once, [] {
        QCoreApplication* app = QCoreApplication::instance();
        // The application object runs the handler on its own thread, whoever
        // connects it.
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, &OnAboutToQuit);
    });
}

int Run(const std::function<int()>& show, int cancelled) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || Quitting())
        return cancelled;
    if (OnGuiThread())
        return show();

    auto pending = std::make_shared<Pending>();
    pending->answer = cancelled;
    QMetaObject::invokeMethod(
        app,
        [pending, show] {
            if (Quitting())
                return;
            const int answer = show();
            {
                std::lock_guard lock(g_mutex);
                pending->answer = answer;
                pending->done = true;
            }
            g_changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [&] { return pending->done || g_quitting; });
    return pending->done ? pending->answer : cancelled;
}

int RunOffGui(const std::function<int()>& work) {
    if (!OnGuiThread())
        return work();
    std::atomic<bool> finished{false};
    int answer = 0;
    QEventLoop loop;
    std::thread worker([&] {
        answer = work();
        finished = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    // The quit may have been posted before the loop started; it is then seen here.
    while (!finished)
        loop.exec();
    QGuiApplication::restoreOverrideCursor();
    worker.join();
    return answer;
}

int ExecCancellable(QDialog& dialog) {
    if (Quitting())
        return QDialog::Rejected;
    g_openDialogs.emplace_back(&dialog);
    const int result = dialog.exec();
    g_openDialogs.erase(std::remove(g_openDialogs.begin(), g_openDialogs.end(), &dialog),
                        g_openDialogs.end());
    return Quitting() ? QDialog::Rejected : result;
}

} // namespace GuiThread
