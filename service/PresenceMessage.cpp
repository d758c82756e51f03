#include "PresenceMessage.h"

#include "NetUtilities.h"
#include "bridge/BridgeRecord.h"
#include "platform/ByteOrder.h"

namespace presence {

using platform::LoadLE32;
using platform::LoadLE32s;
using platform::StoreLE32;
using platform::StoreLE32s;

bool IsRequestType(std::int32_t type) {
    return type >= kProfileRequest && type <= kAnonTOSQuery;
}

Header Header::Request(std::int32_t type, std::int32_t calleeId, std::int32_t callerId) {
    return Header{kRequestMagic, kProtocolVersion, type, calleeId, callerId};
}

Header Header::Reply(std::int32_t type) {
    return Header{kReplyMagic, 0, type, 0, 0};
}

Header Header::Refusal() {
    return Header{kRequestMagic, kProtocolVersion, kRefusal, -1, 0};
}

std::array<std::uint8_t, kHeaderSize> Header::Encode() const {
    std::array<std::uint8_t, kHeaderSize> bytes{};
    StoreLE32(bytes.data(), magic);
    // The version byte is followed by three reserved zero bytes; a reply
    // leaves the whole word zero.
    bytes[4] = version;
    StoreLE32s(bytes.data() + 8, type);
    StoreLE32s(bytes.data() + 12, calleeId);
    StoreLE32s(bytes.data() + 16, callerId);
    return bytes;
}

std::optional<Header> Header::Decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    Header header;
    header.magic = LoadLE32(bytes.data());
    header.version = bytes[4];
    header.type = LoadLE32s(bytes.data() + 8);
    header.calleeId = LoadLE32s(bytes.data() + 12);
    header.callerId = LoadLE32s(bytes.data() + 16);
    return header;
}

Header::Verdict Header::Check(std::int32_t ownId) const {
    if (magic != kRequestMagic)
        return Verdict::kDrop;
    // The reserved bytes after the version are not looked at.
    if (version != kProtocolVersion || (type != kAnonTOSQuery && calleeId != ownId))
        return Verdict::kRefuse;
    if (!IsRequestType(type))
        return Verdict::kUnknownType;
    return Verdict::kAccept;
}

bool Header::IsReplyTo(std::int32_t requestType) const {
    return magic == kReplyMagic && type == requestType;
}

bool Header::IsRefusal() const {
    return type == kRefusal;
}

std::array<std::uint8_t, 4> EncodeInt32(std::int32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    StoreLE32s(bytes.data(), value);
    return bytes;
}

std::optional<std::int32_t> DecodeInt32(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4)
        return std::nullopt;
    return LoadLE32s(bytes.data());
}

std::array<std::uint8_t, 4> EncodeAddress(const std::string& dottedQuad) {
    return ParseAddress(dottedQuad);
}

std::optional<std::string> DecodeAddress(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4)
        return std::nullopt;
    return FormatAddress({bytes[0], bytes[1], bytes[2], bytes[3]});
}

std::array<std::uint8_t, kTOSNoticeSize> EncodeTOSNotice(const TOSNotice& notice) {
    std::array<std::uint8_t, kTOSNoticeSize> bytes{};
    StoreLE32s(bytes.data(), notice.tos);
    StoreLE32s(bytes.data() + 4, notice.on ? 1 : 0);
    return bytes;
}

std::optional<TOSNotice> DecodeTOSNotice(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kTOSNoticeSize)
        return std::nullopt;
    std::int32_t flag = LoadLE32s(bytes.data() + 4);
    if (flag != 0 && flag != 1)
        return std::nullopt;
    return TOSNotice{LoadLE32s(bytes.data()), flag == 1};
}

std::array<std::uint8_t, kProfileSize> EncodeProfile(const PeerProfile& profile) {
    namespace L = PersonalInfoLayout;
    static_assert(L::kSize == kProfileSize);
    std::array<std::uint8_t, kProfileSize> bytes{};
    platform::WriteFixedText(bytes.data() + L::kNameOffset, L::kNameWidth, profile.name);
    platform::WriteFixedText(bytes.data() + L::kEMailOffset, L::kEMailWidth, profile.eMail);
    return bytes;
}

std::optional<PeerProfile> DecodeProfile(std::span<const std::uint8_t> bytes) {
    namespace L = PersonalInfoLayout;
    if (bytes.size() < kProfileSize)
        return std::nullopt;
    PeerProfile profile;
    profile.name = platform::ReadFixedText(bytes.data() + L::kNameOffset, L::kNameWidth);
    profile.eMail = platform::ReadFixedText(bytes.data() + L::kEMailOffset, L::kEMailWidth);
    return profile;
}

int CallerPayloadSize(std::int32_t type) {
    switch (type) {
    case kProfileRequest:
    case kAcquaintanceNotice:
    case kKnownQuery:
    case kStopListener:
        return 0;
    case kAnnounceIP:
    case kTOSQuery:
    case kStateQuery:
    case kAnonTOSQuery:
        return 4;
    case kTOSNotice:
        return static_cast<int>(kTOSNoticeSize);
    default:
        return -1;
    }
}

int ListenerPayloadSize(std::int32_t type) {
    switch (type) {
    case kProfileRequest:
        return static_cast<int>(kProfileSize);
    case kTOSQuery:
    case kStateQuery:
    case kKnownQuery:
    case kAnonTOSQuery:
        return 4;
    case kAnnounceIP:
    case kAcquaintanceNotice:
    case kTOSNotice:
    case kStopListener:
        return 0;
    default:
        return -1;
    }
}

} // namespace presence
