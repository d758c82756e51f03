#include "app/shell/frame/BackgroundCall.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

void RunInBackground(QObject* context, std::function<int()> work, std::function<void(int)> done) {
    QPointer<QObject> guard(context);
    // No parent: a call still waiting on a library dialog when the program
    // ends must not have its thread object destroyed under it.
    QThread* thread = QThread::create([guard, work = std::move(work), done = std::move(done)] {
        const int result = work();
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
