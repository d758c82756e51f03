#pragma once

// A log receiver that keeps every event line, for a test to look for.

#include "app/files/LogEvent.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Keeps every line a server logs, for the test to look for.
class RecordedLog : public LogReceiver {
public:
    void AppendEvent(const std::string& line) override {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    int Count(const std::string& line) const {
        auto lines = Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool Has(const std::string& line) const { return Count(line) > 0; }
    bool WaitFor(const std::string& line,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return testsupport::WaitFor([&] { return Has(line); }, limit);
    }
    bool WaitForCount(const std::string& line, int count,
                      std::chrono::milliseconds limit = std::chrono::seconds(8)) const {
        return testsupport::WaitFor([&] { return Count(line) >= count; }, limit);
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

} // namespace testsupport
