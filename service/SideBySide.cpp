#include "SideBySide.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

void ForEachSideBySide(const std::vector<std::shared_ptr<Acquaintance>>& entries, std::size_t width,
                       const std::function<bool()>& keepGoing,
                       const std::function<void(Acquaintance&)>& call) {
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < entries.size(); i = next.fetch_add(1)) {
            if (!keepGoing())
                return;
            try {
                call(*entries[i]);
            } catch (...) {
                // One contact's failure ends neither the loop nor its thread.
            }
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t count = std::min(entries.size(), width);
    for (std::size_t i = 1; i < count; ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
}
