#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

// The options that threads other than the user-interface thread read (the
// message server's and the senders' threads, the downloads), as one value: a
// worker takes a copy and never sees half an edit.
struct WorkerOptions {
    static constexpr std::uint32_t kDefaultTextColour = 0;
    static constexpr std::uint32_t kDefaultBubbleColour = 0xff8080;

    bool popUpOnReceipt = true;
    std::uint32_t messageTextColour = kDefaultTextColour;
    std::uint32_t messageBubbleColour = kDefaultBubbleColour;
    std::string downloadDirectory;
};

// The last options handed over, behind one lock: one thread publishes, any
// thread copies.
class PublishedWorkerOptions {
public:
    void Publish(WorkerOptions options) {
        std::lock_guard lock(m_mutex);
        m_options = std::move(options);
    }
    WorkerOptions Copy() const {
        std::lock_guard lock(m_mutex);
        return m_options;
    }

private:
    mutable std::mutex m_mutex;
    WorkerOptions m_options;
};
