#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The wire format between two presence services on the peer port: a 20-byte
// header in both directions, then a small fixed payload per message type. Every
// layout is written and read here once, with explicit little-endian integers;
// every decoder takes untrusted bytes and fails on a short or malformed block
// instead of reading past it.
namespace presence {

constexpr int kPeerPort = 1287;
constexpr std::uint32_t kRequestMagic = 0x1096227A;
constexpr std::uint32_t kReplyMagic = 0x3156F68E;
constexpr std::uint8_t kProtocolVersion = 1;
constexpr std::size_t kHeaderSize = 20;

enum MessageType : std::int32_t {
    kRefusal = 10,
    kProfileRequest = 11,
    kAnnounceIP = 12,
    kTOSQuery = 13,
    kStateQuery = 14,
    kAcquaintanceNotice = 15,
    kTOSNotice = 16,
    kKnownQuery = 17,
    kStopListener = 18,
    kAnonTOSQuery = 19,
};

// True for the request types 11 to 19.
bool IsRequestType(std::int32_t type);

// The header as read from or written to the wire. A request carries the request
// magic, version 1, the type and both IDs; a reply carries the reply magic, the
// echoed type and zeros; a refusal is request-shaped with type 10 and callee -1.
struct Header {
    std::uint32_t magic = kRequestMagic;
    std::uint8_t version = kProtocolVersion;
    std::int32_t type = 0;
    std::int32_t calleeId = 0;
    std::int32_t callerId = 0;

    static Header Request(std::int32_t type, std::int32_t calleeId, std::int32_t callerId);
    static Header Reply(std::int32_t type);
    static Header Refusal();

    std::array<std::uint8_t, kHeaderSize> Encode() const;
    // Empty when fewer than kHeaderSize bytes are given.
    static std::optional<Header> Decode(std::span<const std::uint8_t> bytes);

    // What a listener whose user ID is ownId does with this request header.
    enum class Verdict {
        // Not our protocol at all (any other magic): closed without an answer.
        kDrop,
        // Our protocol but not for us (version, or a callee that is not ownId
        // for any type but 19, which names nobody): the refusal header.
        kRefuse,
        // For us, but a type outside 11 to 19: a reply carrying type 10.
        kUnknownType,
        kAccept,
    };
    Verdict Check(std::int32_t ownId) const;
    // The reply that acknowledges a request of that type.
    bool IsReplyTo(std::int32_t requestType) const;
    bool IsRefusal() const;
};

// One 32-bit payload word (TOS, answer, state).
std::array<std::uint8_t, 4> EncodeInt32(std::int32_t value);
std::optional<std::int32_t> DecodeInt32(std::span<const std::uint8_t> bytes);

// Type 12: the announced address as four bytes, first octet first.
// Throws CStdExcept (DiversMem) for a text that is not four numbers.
std::array<std::uint8_t, 4> EncodeAddress(const std::string& dottedQuad);
// Empty for fewer than four bytes; "0.0.0.0" marks the caller offline.
std::optional<std::string> DecodeAddress(std::span<const std::uint8_t> bytes);

// Type 16: the TOS and its register flag.
struct TOSNotice {
    std::int32_t tos = -1;
    bool on = false;
};
constexpr std::size_t kTOSNoticeSize = 8;
std::array<std::uint8_t, kTOSNoticeSize> EncodeTOSNotice(const TOSNotice& notice);
// Empty for a short block or a flag other than 0 or 1.
std::optional<TOSNotice> DecodeTOSNotice(std::span<const std::uint8_t> bytes);

// Type 11: the 512-byte profile record with the layout of the bridge's profile
// record. Only name and e-mail address travel; the password field is always
// sent empty, and a password in a received record is ignored.
struct PeerProfile {
    std::string name;
    std::string eMail;
};
constexpr std::size_t kProfileSize = 512;
std::array<std::uint8_t, kProfileSize> EncodeProfile(const PeerProfile& profile);
// Empty for fewer than kProfileSize bytes; fixed fields end at their first NUL
// and never past the field.
std::optional<PeerProfile> DecodeProfile(std::span<const std::uint8_t> bytes);

// Bytes the caller sends after the header exchange, and bytes the listener
// answers with, per request type (0 for none, -1 for an unknown type).
int CallerPayloadSize(std::int32_t type);
int ListenerPayloadSize(std::int32_t type);

} // namespace presence
