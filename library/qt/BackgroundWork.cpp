#include "BackgroundWork.h"

#include <QMetaObject>
#include <QWidget>

BackgroundWork::BackgroundWork(QWidget& owner, std::function<void()> busyChanged)
    : m_owner(owner)
    , m_busyChanged(std::move(busyChanged)) {}

BackgroundWork::~BackgroundWork() {
    if (m_worker.joinable())
        m_worker.join();
}

void BackgroundWork::Start(std::function<Then()> work) {
    if (m_busy)
        return;
    // The previous worker has delivered its outcome, so it has ended or is
    // about to.
    if (m_worker.joinable())
        m_worker.join();
    SetBusy(true);
    m_worker = std::thread([this, work = std::move(work)] {
        Then then = work();
        QMetaObject::invokeMethod(
            &m_receiver,
            [this, then = std::move(then)] {
                SetBusy(false);
                if (then)
                    then();
            },
            Qt::QueuedConnection);
    });
}

void BackgroundWork::SetBusy(bool busy) {
    m_busy = busy;
    if (busy)
        m_owner.setCursor(Qt::WaitCursor);
    else
        m_owner.unsetCursor();
    if (m_busyChanged)
        m_busyChanged();
}
