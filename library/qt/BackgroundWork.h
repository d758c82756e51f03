#pragma once

#include <QObject>
#include <functional>
#include <thread>

class QWidget;

// Runs a dialog's bridge commands on a worker thread, since they may wait for
// the service and the directory, and hands their outcome back to the dialog's
// thread through a queued call. While one runs, the owner shows a wait cursor
// and is told to disable what would start another.
class BackgroundWork {
public:
    // `busyChanged` runs on the owner's thread whenever Busy() changes.
    BackgroundWork(QWidget& owner, std::function<void()> busyChanged);
    // Waits for a running command: it uses the client the dialog was given.
    ~BackgroundWork();

    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    bool Busy() const { return m_busy; }

    // `work` runs on the worker and returns what the owner's thread then runs.
    // Ignored while another command runs.
    using Then = std::function<void()>;
    void Start(std::function<Then()> work);

private:
    void SetBusy(bool busy);

    QWidget& m_owner;
    std::function<void()> m_busyChanged;
    // Receives the outcome; destroyed after the worker ended, which drops an
    // outcome that was never delivered.
    QObject m_receiver;
    std::thread m_worker;
    bool m_busy = false;
};
