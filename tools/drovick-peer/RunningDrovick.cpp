#include "RunningDrovick.h"

#include "app/session/SettingsFile.h"
#include "app/session/ShareRequestFiles.h"
#include "platform/MessageBus.h"
#include "platform/SingleInstanceGuard.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

bool DrovickRuns() {
    try {
        return platform::SingleInstanceGuard::IsHeld(kDrovickGuardName);
    } catch (const std::exception&) {
        // No session folder: nothing can be running in it either.
        return false;
    }
}

// Between posts of the request while waiting for its answer.
constexpr auto kPostAgain = std::chrono::seconds(1);

// The answer once its file is in place; it is put there whole, so a file that
// is there is complete.
std::optional<ShareChangeOutcome> TakeAnswer(const std::filesystem::path& file) {
    const auto text = sharerequest::ReadSmallFile(file, sharerequest::kMaxAnswerSize);
    if (!text)
        return std::nullopt;
    unlink(file.c_str());
    if (auto answer = sharerequest::DecodeAnswer(*text))
        return answer;
    ShareChangeOutcome unreadable;
    unreadable.refusal = "Drovick's answer could not be read; drovick-peer shares tells "
                         "whether the change was made";
    return unreadable;
}

} // namespace

AskedDrovick AskRunningDrovick(const ShareChange& change, ShareChangeOutcome& outcome) {
    if (!DrovickRuns())
        return AskedDrovick::NobodyRuns;
    std::filesystem::path folder;
    std::unique_ptr<platform::MessageReceiver> receiver;
    try {
        folder = sharerequest::Folder();
        // In place before the request goes out, so the answer's message wakes us.
        receiver = platform::MessageReceiver::Create();
    } catch (const std::exception&) {
        return AskedDrovick::NotTaken;
    }
    const auto ask = platform::MessageBus::RegisterMessage(sharerequest::kAskMessage);
    const auto token = sharerequest::NewToken();
    const auto request = sharerequest::FileOf(folder, token, ".request");
    const auto answer = sharerequest::FileOf(folder, token, ".answer");
    if (ask == 0 || !sharerequest::WriteWholeFile(request, sharerequest::EncodeRequest(change)))
        return AskedDrovick::NotTaken;

    // Our own receiver is one of those reached; without another nobody listens.
    if (platform::MessageBus::PostToAll(ask, token) >= 2) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + kShareAnswerLimit;
        auto postAgain = Clock::now() + kPostAgain;
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            // Any message wakes us; the file tells whether it was the answer.
            receiver->Receive(
                std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline, postAgain) - now));
            if (auto outcomeGiven = TakeAnswer(answer)) {
                outcome = std::move(*outcomeGiven);
                return AskedDrovick::Answered;
            }
            if (Clock::now() >= postAgain) {
                std::error_code failure;
                if (std::filesystem::exists(request, failure))
                    platform::MessageBus::PostToAll(ask, token);
                postAgain = Clock::now() + kPostAgain;
            }
        }
    }
    // Taking a request renames it, so a request still there was never taken.
    if (unlink(request.c_str()) == 0)
        return AskedDrovick::NotTaken;
    if (auto outcomeGiven = TakeAnswer(answer)) {
        outcome = std::move(*outcomeGiven);
        return AskedDrovick::Answered;
    }
    return AskedDrovick::TakenUnanswered;
}
