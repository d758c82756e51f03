#include "app/peer/transfer/ExtendedTransfer.h"

#include "platform/ByteOrder.h"

#include <algorithm>

namespace {

// The 64-bit numbers of the exchange: low word first, each word little-endian.
void StoreLE64(std::uint8_t* out, std::uint64_t value) {
    platform::StoreLE32(out, static_cast<std::uint32_t>(value));
    platform::StoreLE32(out + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t LoadLE64(const std::uint8_t* in) {
    return platform::LoadLE32(in) | static_cast<std::uint64_t>(platform::LoadLE32(in + 4)) << 32;
}

} // namespace

bool IsExtendedRequest(std::span<const std::uint8_t> field) {
    return field.size() >= kExtendedRequestMarker.size() &&
           std::equal(kExtendedRequestMarker.begin(), kExtendedRequestMarker.end(), field.begin());
}

std::optional<std::vector<std::uint8_t>> EncodeExtendedRequest(const ExtendedRequest& request) {
    if (request.path.empty() || request.path.size() > kExtendedPathMax ||
        request.path.find('\0') != std::string::npos)
        return std::nullopt;
    std::vector<std::uint8_t> field(kTransferPathWidth, 0);
    std::copy(kExtendedRequestMarker.begin(), kExtendedRequestMarker.end(), field.begin());
    field[6] = kExtendedVersion;
    field[7] = request.wantDigest ? kExtendedWantDigest : 0;
    StoreLE64(&field[8], request.offset);
    platform::StoreLE16(&field[16], static_cast<std::uint16_t>(request.path.size()));
    std::copy(request.path.begin(), request.path.end(), field.begin() + kExtendedRequestHeader);
    return field;
}

std::optional<std::string> DecodeExtendedRequest(std::span<const std::uint8_t> field,
                                                 ExtendedRequest& request) {
    if (field.size() < kTransferPathWidth || !IsExtendedRequest(field))
        return std::string("truncated header");
    if (field[6] != kExtendedVersion)
        return "unknown version " + std::to_string(field[6]);
    if ((field[7] & ~kExtendedWantDigest) != 0)
        return "unknown flags " + std::to_string(field[7]);
    const std::size_t length = platform::LoadLE16(&field[16]);
    if (length == 0 || length > kExtendedPathMax)
        return "path length " + std::to_string(length) + " outside the field";
    const auto* path = field.data() + kExtendedRequestHeader;
    if (std::find(path, path + length, 0) != path + length)
        return std::string("NUL inside the path");
    request.path.assign(reinterpret_cast<const char*>(path), length);
    request.offset = LoadLE64(&field[8]);
    request.wantDigest = (field[7] & kExtendedWantDigest) != 0;
    return std::nullopt;
}

std::array<std::uint8_t, kExtendedReplySize> EncodeExtendedReply(const ExtendedReply& reply) {
    std::array<std::uint8_t, kExtendedReplySize> bytes{};
    std::copy(kExtendedReplyMarker.begin(), kExtendedReplyMarker.end(), bytes.begin());
    bytes[4] = kExtendedVersion;
    bytes[5] = static_cast<std::uint8_t>(reply.status);
    bytes[6] = reply.digestFollows ? kExtendedWantDigest : 0;
    StoreLE64(&bytes[8], reply.size);
    StoreLE64(&bytes[16], reply.offset);
    return bytes;
}

bool DecodeExtendedReply(std::span<const std::uint8_t> bytes, ExtendedReply& reply) {
    if (bytes.size() < kExtendedReplySize ||
        !std::equal(kExtendedReplyMarker.begin(), kExtendedReplyMarker.end(), bytes.begin()) ||
        bytes[4] != kExtendedVersion ||
        bytes[5] > static_cast<std::uint8_t>(ExtendedStatus::CannotRead))
        return false;
    reply.status = static_cast<ExtendedStatus>(bytes[5]);
    reply.digestFollows = (bytes[6] & kExtendedWantDigest) != 0;
    reply.size = LoadLE64(&bytes[8]);
    reply.offset = LoadLE64(&bytes[16]);
    return true;
}

const char* ExtendedStatusName(ExtendedStatus status) {
    switch (status) {
    case ExtendedStatus::Ok:
        return "ok";
    case ExtendedStatus::BadRequest:
        return "bad request";
    case ExtendedStatus::NotShared:
        return "not shared";
    case ExtendedStatus::NotAFile:
        return "not a file";
    case ExtendedStatus::BadOffset:
        return "offset past the end";
    case ExtendedStatus::CannotRead:
        return "cannot read";
    }
    return "?";
}
