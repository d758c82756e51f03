#include "app/session/ShareRequestDesk.h"

#include "app/session/ShareRequestFiles.h"
#include "platform/MessageBus.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <unistd.h>

namespace {

// A burst of requests waits for the next turn rather than holding off the
// stop flag the caller watches between turns.
constexpr int kMostPerTurn = 8;

} // namespace

ShareRequestDesk::ShareRequestDesk(Apply apply)
    : m_apply(std::move(apply))
    , m_folder(sharerequest::Folder())
    , m_receiver(platform::MessageReceiver::Create())
    , m_askNumber(platform::MessageBus::RegisterMessage(sharerequest::kAskMessage))
    , m_answerNumber(platform::MessageBus::RegisterMessage(sharerequest::kAnswerMessage)) {
    if (m_askNumber == 0 || m_answerNumber == 0)
        throw std::system_error(EIO, std::generic_category(), "cannot register the messages");
}

ShareRequestDesk::~ShareRequestDesk() = default;

void ShareRequestDesk::AnswerArriving(std::chrono::milliseconds wait) {
    for (int turn = 0; turn < kMostPerTurn; ++turn) {
        const auto message = m_receiver->Receive(turn == 0 ? wait : std::chrono::milliseconds(0));
        if (!message)
            return;
        if (message->number == m_askNumber && message->wParam != 0)
            Answer(message->wParam);
    }
}

void ShareRequestDesk::Answer(std::uint64_t token) {
    const auto request = sharerequest::FileOf(m_folder, token, ".request");
    const auto taken = sharerequest::FileOf(m_folder, token, ".taken");
    // Taking the request by renaming it leaves nothing to do for a second copy
    // of the message, and tells an asker that gave up that it was taken.
    if (std::rename(request.c_str(), taken.c_str()) != 0)
        return;
    const auto bytes = sharerequest::ReadSmallFile(taken, sharerequest::kMaxRequestSize);
    unlink(taken.c_str());
    const auto change = bytes ? sharerequest::DecodeRequest(*bytes) : std::nullopt;
    ShareChangeOutcome outcome;
    if (change)
        outcome = m_apply(*change);
    else
        outcome.refusal = "the request could not be read";

    // An answer that cannot be written leaves the asker to say that the
    // change was taken but not answered.
    if (sharerequest::WriteWholeFile(sharerequest::FileOf(m_folder, token, ".answer"),
                                     sharerequest::EncodeAnswer(outcome)))
        platform::MessageBus::PostToAll(m_answerNumber, token);
}
