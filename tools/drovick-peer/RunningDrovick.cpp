#include "RunningDrovick.h"

#include "SettingsFile.h"
#include "ShareRequestFiles.h"
#include "platform/MessageBus.h"
#include "platform/SingleInstanceGuard.h"

#include <exception>
#include <memory>
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

ShareChangeOutcome ReadAnswer(const std::filesystem::path& file, std::uint64_t verdict) {
    ShareChangeOutcome outcome;
    outcome.made = verdict == sharerequest::kAnswerMade;
    const auto text = sharerequest::ReadSmallFile(file, sharerequest::kMaxAnswerSize);
    unlink(file.c_str());
    if (!outcome.made) {
        outcome.refusal = text && !text->empty() ? *text : "Drovick refused the change";
        return outcome;
    }
    if (!text)
        return outcome;
    std::size_t start = 0;
    while (start < text->size()) {
        auto end = text->find('\n', start);
        if (end == std::string::npos)
            end = text->size();
        outcome.lines.push_back(text->substr(start, end - start));
        start = end + 1;
    }
    return outcome;
}

} // namespace

AskedDrovick AskRunningDrovick(const ShareChange& change, ShareChangeOutcome& outcome) {
    if (!DrovickRuns())
        return AskedDrovick::NobodyRuns;
    std::filesystem::path folder;
    std::unique_ptr<platform::MessageReceiver> receiver;
    try {
        folder = sharerequest::Folder();
        // In place before the request goes out, so the answer cannot be missed.
        receiver = platform::MessageReceiver::Create();
    } catch (const std::exception&) {
        return AskedDrovick::NotTaken;
    }
    const auto ask = platform::MessageBus::RegisterMessage(sharerequest::kAskMessage);
    const auto answer = platform::MessageBus::RegisterMessage(sharerequest::kAnswerMessage);
    const auto token = sharerequest::NewToken();
    const auto request = sharerequest::FileOf(folder, token, ".request");
    if (ask == 0 || answer == 0 ||
        !sharerequest::WriteWholeFile(request, sharerequest::EncodeRequest(change)))
        return AskedDrovick::NotTaken;

    // Our own receiver is one of those reached; without another nobody listens.
    if (platform::MessageBus::PostToAll(ask, token) >= 2) {
        const auto deadline = std::chrono::steady_clock::now() + kShareAnswerLimit;
        for (auto now = std::chrono::steady_clock::now(); now < deadline;
             now = std::chrono::steady_clock::now()) {
            const auto message =
                receiver->Receive(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
            if (message && message->number == answer && message->wParam == token) {
                outcome =
                    ReadAnswer(sharerequest::FileOf(folder, token, ".answer"), message->lParam);
                return AskedDrovick::Answered;
            }
        }
    }
    // Taking a request renames it, so a request still there was never taken.
    if (unlink(request.c_str()) == 0)
        return AskedDrovick::NotTaken;
    return AskedDrovick::TakenUnanswered;
}
