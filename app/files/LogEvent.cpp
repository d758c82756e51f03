#include "app/files/LogEvent.h"

#include "app/files/SafeText.h"

#include <algorithm>

void LogEvent::Register(LogReceiver* receiver) {
    std::lock_guard lock(m_mutex);
    m_receiver = receiver;
}

void LogEvent::Unregister(LogReceiver* receiver) {
    std::lock_guard lock(m_mutex);
    if (m_receiver == receiver)
        m_receiver = nullptr;
}

bool LogEvent::HasReceiver() const {
    std::lock_guard lock(m_mutex);
    return m_receiver != nullptr;
}

void LogEvent::operator()(std::string_view text) {
    if (text.empty())
        return;
    // Servers put what peers sent (paths, names) into their events, and the
    // receivers show them on a terminal or in a window.
    std::string line(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    line = SafeText(line);
    // The receiver pointer is read under the same lock that serialises the
    // rows, so closing the monitor never races with a worker's event.
    std::lock_guard lock(m_mutex);
    if (m_receiver != nullptr)
        m_receiver->AppendEvent(line);
}

void LogEvent::operator()(const char* text) {
    if (text != nullptr)
        (*this)(std::string_view(text));
}
