#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <thread>

// "&Update...": asks the update address for the newest release's number on a
// worker thread, so the window never waits for the network, then tells the
// user either that a new version exists or that this one is the latest (which
// is also what a failed check says). A second Start while one check is running
// does nothing.
class VersionCheck : public QObject {
    Q_OBJECT
public:
    static constexpr int kCurrentVersion = 1000;

    explicit VersionCheck(QObject* parent = nullptr);
    ~VersionCheck() override;

    void Start(QWidget* parent);
    bool IsRunning() const { return m_running; }

signals:
    // The newest number the check found (-1 on failure), before the answer shows.
    void Finished(int newest);

private:
    void Finish(int newest);

    QPointer<QWidget> m_parent;
    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    bool m_running = false;
};
