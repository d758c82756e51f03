#pragma once

#include "ContactNetwork.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

// Every call the engine makes to other presence services: the contact
// records' (ContactPeers) and the rounds' own, which take an address and IDs
// because the rounds hold the contact's exchange lock themselves.
// PresenceCallPeers is the real one, over the peer protocol; tests hand in one
// in memory. Every failing call throws CStdExcept.
class EnginePeers : public ContactPeers {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // Every call from here on fails soon after *running turns false; null:
    // nothing cancels them. The flag must outlive every call.
    virtual void SetRunFlag(const std::atomic<bool>* running) = 0;
    // Type 13: whether the contact runs that TOS (1 or 0).
    virtual std::int32_t TOSQuery(const std::string& ip, std::int32_t contactId, std::int32_t ownId,
                                  std::int32_t tos) = 0;
    // Type 17: whether the contact knows us (1 or 0).
    virtual std::int32_t KnownQuery(const std::string& ip, std::int32_t contactId,
                                    std::int32_t ownId) = 0;
    // Type 12 with 0.0.0.0: not cancelled by the run flag, but over by
    // deadline whatever step it is in, so one round of them has one bound.
    virtual void AnnounceOfflineBy(const std::string& ip, std::int32_t contactId,
                                   std::int32_t ownId, Deadline deadline) = 0;
    // Type 18 to the own listener at ownIp, over by deadline.
    virtual void StopListener(const std::string& ownIp, std::int32_t ownId, Deadline deadline) = 0;
};
