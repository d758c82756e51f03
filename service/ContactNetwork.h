#pragma once

#include "InternetDatabase.h"
#include "NetUtilities.h"

#include <cstdint>
#include <string>

class Acquaintance;

// What the contact records ask of the directory. The engine hands in its own
// (EngineDirectory); tests hand in a fake.
// Every failure throws CStdExcept.
class ContactDirectory {
public:
    virtual ~ContactDirectory() = default;

    // This computer's address as dotted quad; throws when it has none.
    virtual std::string LocalAddress() = 0;
    virtual DirectoryProfile LookupProfile(std::int32_t contactId) = 0;
    virtual std::string LookupIP(std::int32_t contactId) = 0;
    virtual void RegisterAsAcquaintance(std::int32_t contactId, std::int32_t ownId) = 0;
    virtual std::int32_t RegisterNewID() = 0;
    // The own ID's address; password is the own entry's, which the directory
    // asks for once the ID's profile is stored.
    virtual void UpdateIP(std::int32_t ownId, const std::string& ip,
                          const std::string& password) = 0;
    virtual std::string GetRandomIP(std::int32_t tos) = 0;
    virtual void InsertRandomIP(std::int32_t tos, const std::string& ownIp) = 0;
    virtual void RemoveRandomIP(std::int32_t tos, const std::string& ownIp) = 0;
};

// What the contact records ask of other users' presence services: the peer
// protocol's client calls. Each call takes the contact's exchange lock itself.
class ContactPeers {
public:
    virtual ~ContactPeers() = default;

    // Type 12: tells the contact the own address.
    virtual void AnnounceOwnIP(Acquaintance& contact, std::int32_t ownId,
                               const std::string& ownIp) = 0;
    // Type 15, left at the directory as a register-as-acquaintance notice when
    // the contact cannot be reached.
    virtual void SendAcquaintanceNotice(Acquaintance& contact, std::int32_t ownId) = 0;
    // Type 16: one TOS of the local user registered (on) or dropped.
    virtual void SendTOSNotice(Acquaintance& contact, std::int32_t ownId, std::int32_t tos,
                               bool on) = 0;
    // Type 19 to an anonymous acquaintance's address: its answer (0 or 1).
    virtual std::int32_t AnonTOSQuery(const std::string& ip, std::int32_t tos) = 0;
};
