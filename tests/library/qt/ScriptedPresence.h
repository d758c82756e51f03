#pragma once

// A presence service for the dialog tests, played by FakeService: a directory
// of addresses, the user's stored identities, and the system message, each
// answered the way halvserve answers the commands the dialogs send.

#include "FakeService.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class ScriptedPresence {
public:
    struct Identity {
        std::string text; // empty: a free slot
        std::string password;
    };

    // The directory: address -> (id, password).
    std::map<std::string, std::pair<int, std::string>> directory;
    std::vector<Identity> identities;
    int active = 0;
    bool registered = true;
    std::string messageTitle;
    std::string messageText;
    // Runs on the service's thread before each answer, e.g. to hold one back.
    std::function<void(const BridgeRecord&)> beforeAnswer;

    FakeService::Handler Handler() {
        return [this](const BridgeRecord& request) {
            if (beforeAnswer)
                beforeAnswer(request);
            std::lock_guard lock(m_mutex);
            return std::vector<BridgeRecord>{Answer(request)};
        };
    }

private:
    BridgeRecord Answer(const BridgeRecord& request) {
        switch (request.Code()) {
        case kCmdIsRegistered:
            return FakeService::Reply(request, registered ? 1 : 0);
        case kCmdLookupID: {
            auto found = directory.find(request.TextAt(4));
            return FakeService::Reply(request, found == directory.end() ? -1 : found->second.first);
        }
        case kCmdCheckPassword: {
            for (const auto& [address, entry] : directory) {
                if (entry.first == request.I32At(4))
                    return FakeService::Reply(request, entry.second == request.TextAt(8) ? 1 : 0);
            }
            return FakeService::Reply(request, 0);
        }
        case kCmdIsIdentityTaken: {
            for (const Identity& identity : identities) {
                if (identity.text == request.TextAt(4))
                    return FakeService::Reply(request, 1);
            }
            return FakeService::Reply(request, 0);
        }
        case kCmdGetActiveIdentity:
            return FakeService::Reply(request, active, 1);
        case kCmdGetHighestIdentity:
            return FakeService::Reply(request, static_cast<int>(identities.size()) - 1, 1);
        case kCmdGetIdentity: {
            const int index = request.I32At(4);
            BridgeRecord reply = FakeService::Reply(request, 0);
            const bool known = index >= 0 && index < static_cast<int>(identities.size());
            reply.SetTextAt(4, known ? identities[static_cast<std::size_t>(index)].text : "");
            reply.SetI32At(132, known ? 1 : 0);
            return reply;
        }
        case kCmdDeleteIdentity: {
            const int index = request.I32At(4);
            if (index < 0 || index >= static_cast<int>(identities.size()))
                return FakeService::Reply(request, 0);
            identities[static_cast<std::size_t>(index)] = {};
            return FakeService::Reply(request, 1);
        }
        case kCmdSetIdentity: {
            const int index = request.I32At(4);
            const bool right =
                index >= 0 && index < static_cast<int>(identities.size()) &&
                identities[static_cast<std::size_t>(index)].password == request.TextAt(8);
            if (right)
                active = index;
            return FakeService::Reply(request, right ? 1 : 0);
        }
        case kCmdAddIdentity: {
            identities.push_back({request.TextAt(4), request.TextAt(132)});
            return FakeService::Reply(request, static_cast<int>(identities.size()) - 1, 1);
        }
        case kCmdSystemMessage: {
            BridgeRecord reply = FakeService::Reply(request, messageText.empty() ? 0 : 1);
            std::size_t offset = 8;
            for (const std::string* text : {&messageTitle, &messageText}) {
                reply.SetI32At(offset, static_cast<int>(text->size() + 1));
                reply.SetTextAt(offset + 4, *text, text->size() + 1);
                offset += 4 + text->size() + 1;
            }
            return reply;
        }
        default:
            // Command 1, 3, 7, 17, 18, 27: done.
            return FakeService::Reply(request, 1);
        }
    }

    std::mutex m_mutex;
};

// The codes of every request the service got, in order.
inline std::vector<int> Codes(const FakeService& service) {
    std::vector<int> codes;
    for (const BridgeRecord& request : service.Requests())
        codes.push_back(request.Code());
    return codes;
}

// The requests of one command, in order.
inline std::vector<BridgeRecord> Sent(const FakeService& service, int code) {
    std::vector<BridgeRecord> sent;
    for (const BridgeRecord& request : service.Requests()) {
        if (request.Code() == code)
            sent.push_back(request);
    }
    return sent;
}
