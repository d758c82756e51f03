#pragma once

// Helpers shared by the peer service tests: a log receiver that keeps every
// event line, and random file contents written and read back whole.

#include "app/files/LogEvent.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace peertest {

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

inline std::vector<std::uint8_t> RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace peertest
