#pragma once

#include <QTreeView>
#include <cstddef>
#include <memory>

class LogEvent;
class NetworkMonitorFeed;
class NetworkMonitorModel;

// The network monitor window's content: every event of the log sink as one row
// under the one column "Log entries", newest at the bottom. The view is the
// sink's receiver only while it exists, so nothing is kept while it is closed.
class NetworkMonitorView : public QTreeView {
    Q_OBJECT
public:
    explicit NetworkMonitorView(LogEvent& log, QWidget* parent = nullptr);
    NetworkMonitorView(LogEvent& log, std::size_t capacity, QWidget* parent);
    ~NetworkMonitorView() override;

    NetworkMonitorModel& Model() const { return *m_model; }

private:
    void FollowNewest();

    LogEvent& m_log;
    std::unique_ptr<NetworkMonitorModel> m_model;
    // Declared after the model: destroyed first, after it left the sink.
    std::unique_ptr<NetworkMonitorFeed> m_feed;
};
