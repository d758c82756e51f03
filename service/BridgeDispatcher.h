#pragma once

#include "PresenceEngine.h"
#include "bridge/BridgeRecord.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// What the service sends back for one request, and whether the bridge loop
// must end once the exchange is over.
struct BridgeReplies {
    std::vector<BridgeRecord> records;
    bool stopServing = false;
};

// Turns one received request into its reply records, calling the engine
// operation the command names. It touches no channel, so what the service
// answers depends only on the received bytes and the engine.
//
// A request shorter than a record is read as if zero-padded to 1024 bytes;
// bytes past 1024 are ignored. The reply is built in the request's own buffer,
// so bytes a command does not set keep the request's values. A CStdExcept from
// the engine becomes the command's failure value; nothing else is caught.
class BridgeDispatcher {
public:
    // More addresses than command 30 ever sends in one exchange; keeps a runaway
    // anonymous list from turning into megabytes of reply records.
    static constexpr std::size_t kMaxAnonAddresses = 1024;

    explicit BridgeDispatcher(PresenceEngine& engine)
        : m_engine(engine) {}

    // A zero-length request gets no reply at all.
    BridgeReplies Handle(std::span<const std::uint8_t> request);

private:
    void HandleSetMyProfile(BridgeRecord& record);
    void HandleProfileReply(BridgeRecord& record, bool fromDirectory);
    void HandleGetIP(BridgeRecord& record);
    bool HandleUpdateTOS(BridgeRecord& record);
    void HandleSystemMessage(BridgeRecord& record);
    void HandleGetIdentity(BridgeRecord& record);
    void HandleIdentityIndex(BridgeRecord& record, bool highest);
    void HandleAddIdentity(BridgeRecord& record);
    void HandleSendInvitation(BridgeRecord& record);
    void HandleAnonAcquaintances(BridgeRecord& first, std::vector<BridgeRecord>& records);
    void HandleCheckFriendsOnline(BridgeRecord& first, std::vector<BridgeRecord>& records);

    PresenceEngine& m_engine;
};
