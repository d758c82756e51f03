#pragma once

#include "app/files/LogEvent.h"
#include "app/shell/HandOverQueue.h"

#include <QObject>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

class NetworkMonitorModel;

// Carries events from the logging threads to the monitor's model. A worker
// only appends to a locked queue and, when no drain is pending, posts one
// queued call to the user-interface thread: it never waits for that thread,
// so a busy or modal window cannot stall a server. The user-interface thread
// moves the queue into the model in batches.
class NetworkMonitorFeed : public QObject, public LogReceiver {
    Q_OBJECT
public:
    // The largest batch one drain moves, so a flood never holds the
    // user-interface thread for long; the rest follows in the next call.
    static constexpr std::size_t kBatchLimit = 4096;

    explicit NetworkMonitorFeed(NetworkMonitorModel& model, QObject* parent = nullptr);

    void AppendEvent(const std::string& line) override;

signals:
    // After rows were added, so the view can follow the newest one.
    void RowsAppended();

private:
    void Drain();

    NetworkMonitorModel& m_model;
    HandOverQueue<std::string> m_queue;
};
