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
#include <optional>
#include <thread>
#include <vector>

namespace GuiThread {
namespace {

// Callers on other threads wait here; the quit wakes them all.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_quitting = false;
// The application object whose quit is watched.
QCoreApplication* g_watched = nullptr;
// The dialogs up at the moment, touched on the user-interface thread only;
// each leaves the list as it is destroyed.
std::vector<QDialog*> g_openDialogs;

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool Quitting() {
    std::lock_guard lock(g_mutex);
    return g_quitting;
}

// Nothing is shown any more, and every waiting caller is answered.
void StopShowing() {
    {
        std::lock_guard lock(g_mutex);
        g_quitting = true;
    }
    g_changed.notify_all();
}

void OnAboutToQuit() {
    StopShowing();
    std::vector<QPointer<QDialog>> open(g_openDialogs.begin(), g_openDialogs.end());
    for (const QPointer<QDialog>& dialog : open) {
        if (dialog)
            dialog->reject();
    }
}

void Track(QDialog* dialog) {
    g_openDialogs.push_back(dialog);
    // Only the address is compared: the dialog part is gone by then.
    const QObject* object = dialog;
    QObject::connect(dialog, &QObject::destroyed, [object] {
        std::erase_if(g_openDialogs,
                      [object](QDialog* open) { return static_cast<QObject*>(open) == object; });
    });
}

// One answer a caller on another thread waits for.
struct Pending {
    bool done = false;
    int answer = 0;
    void Give(int value) {
        {
            std::lock_guard lock(g_mutex);
            if (done)
                return;
            answer = value;
            done = true;
        }
        g_changed.notify_all();
    }
};

// Posts `work` to the user-interface thread and waits for the answer it gives.
int PostAndWait(const std::function<void(const std::shared_ptr<Pending>&)>& work, int cancelled) {
    auto pending = std::make_shared<Pending>();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [pending, work, cancelled] {
            if (Quitting())
                pending->Give(cancelled);
            else
                work(pending);
        },
        Qt::QueuedConnection);
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [&] { return pending->done || g_quitting; });
    return pending->done ? pending->answer : cancelled;
}

} // namespace

void WatchQuit() {
    QCoreApplication* app = QCoreApplication::instance();
    {
        std::lock_guard lock(g_mutex);
        if (!app || app == g_watched)
            return;
        // A new application object (a program may make one after another) shows
        // dialogs again.
        g_watched = app;
        g_quitting = false;
    }
    // The application object runs the handler on its own thread, whoever connects it.
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, &OnAboutToQuit);
    // An application object deleted without a quit runs no posted dialog either.
    QObject::connect(app, &QObject::destroyed, [] {
        {
            std::lock_guard lock(g_mutex);
            g_watched = nullptr;
        }
        StopShowing();
    });
}

int RunDialog(const std::function<QDialog*()>& make,
              const std::function<int(const QDialog&)>& answer, int cancelled) {
    if (!QCoreApplication::instance() || Quitting())
        return cancelled;
    if (OnGuiThread()) {
        std::unique_ptr<QDialog> dialog(make());
        Track(dialog.get());
        dialog->exec();
        return Quitting() ? cancelled : answer(*dialog);
    }
    return PostAndWait(
        [make, answer, cancelled](const std::shared_ptr<Pending>& pending) {
            QDialog* dialog = make();
            // The caller hears the answer only once the dialog is gone: a
            // command the dialog still runs on a worker (an invitation sent
            // just before Cancel) uses the caller's client until then.
            auto given = std::make_shared<std::optional<int>>();
            QObject::connect(dialog, &QDialog::finished, dialog,
                             [given, dialog, answer] { *given = answer(*dialog); });
            // Also a dialog that went with its parent window before it ended.
            QObject::connect(dialog, &QObject::destroyed, [pending, cancelled, given] {
                pending->Give(given->value_or(cancelled));
            });
            Open(dialog);
        },
        cancelled);
}

int Run(const std::function<int()>& work, int cancelled) {
    if (!QCoreApplication::instance() || Quitting())
        return cancelled;
    if (OnGuiThread())
        return work();
    return PostAndWait([work](const std::shared_ptr<Pending>& pending) { pending->Give(work()); },
                       cancelled);
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

void Open(QDialog* dialog) {
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    Track(dialog);
    if (Quitting()) {
        dialog->reject();
        return;
    }
    dialog->show();
}

void OpenMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                    const QString& text, QMessageBox::StandardButtons buttons,
                    const std::function<void(int)>& then) {
    auto* box = new QMessageBox(icon, caption, text, buttons, parent);
    if (then)
        QObject::connect(box, &QMessageBox::finished, parent, then);
    Open(box);
}

} // namespace GuiThread
