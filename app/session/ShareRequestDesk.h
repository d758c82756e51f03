#pragma once

#include "app/session/ShareChange.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

namespace platform {
class MessageReceiver;
}

// Where the Drovick that runs for the user takes the changes of the shares
// that share and unshare ask of it over the session message bus
// (ShareRequestFiles.h), so that it stays the one writer of the settings
// while it runs and serves the new shares at once. Only the holder of
// Drovick's single-instance guard may make one.
class ShareRequestDesk {
public:
    using Apply = std::function<ShareChangeOutcome(const ShareChange&)>;

    // Throws std::system_error when the bus or the folder of the requests
    // cannot be reached.
    explicit ShareRequestDesk(Apply apply);
    ~ShareRequestDesk();

    ShareRequestDesk(const ShareRequestDesk&) = delete;
    ShareRequestDesk& operator=(const ShareRequestDesk&) = delete;

    // Answers the requests that have arrived, waiting up to wait for the
    // first one when none has.
    void AnswerArriving(std::chrono::milliseconds wait);

private:
    void Answer(std::uint64_t token);

    Apply m_apply;
    std::filesystem::path m_folder;
    std::unique_ptr<platform::MessageReceiver> m_receiver;
    std::uint32_t m_askNumber = 0;
    std::uint32_t m_answerNumber = 0;
};
