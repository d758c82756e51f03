#pragma once

#include <mutex>
#include <string>
#include <string_view>

// Whatever shows the event log (the network monitor window). Receivers are
// called on the logging thread, under the sink's lock: they must not block on
// another thread that might itself log (a window posts the row to its own
// thread instead), and must not log from inside AppendEvent.
class LogReceiver {
public:
    virtual ~LogReceiver() = default;
    // One event: never empty, never holds a line feed.
    virtual void AppendEvent(const std::string& line) = 0;
};

// Drovick's one log sink. Peer servers and clients log one-line events from any
// thread; while a receiver is registered each event reaches it as one row, and
// while none is, events are dropped: there is no buffer and no log file.
class LogEvent {
public:
    LogEvent() = default;
    LogEvent(const LogEvent&) = delete;
    LogEvent& operator=(const LogEvent&) = delete;

    // Replaces any receiver registered before.
    void Register(LogReceiver* receiver);
    // Clears the registration when it is still this receiver's. On return no
    // event is being handed to it any more, so it may be destroyed.
    void Unregister(LogReceiver* receiver);
    bool HasReceiver() const;

    // Logs one event. Line feeds become blanks so the event stays one row, and
    // every other character SafeText refuses becomes '?'; an empty text adds
    // nothing. A null text counts as empty.
    void operator()(std::string_view text);
    void operator()(const char* text);

private:
    mutable std::mutex m_mutex;
    LogReceiver* m_receiver = nullptr;
};
