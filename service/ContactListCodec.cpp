#include "ContactListCodec.h"

#include "platform/ByteOrder.h"

namespace ContactListCodec {

namespace {

constexpr std::size_t kRecordSize = 4 + InternetID::kPersistedSize;

void WriteGroup(platform::ByteWriter& writer, std::span<const std::shared_ptr<InternetID>> group) {
    for (const auto& id : group) {
        InternetID empty;
        auto bytes = (id ? *id : empty).Encode();
        writer.WriteI32(static_cast<std::int32_t>(bytes.size()));
        writer.WriteBytes(bytes.data(), bytes.size());
    }
}

bool ReadGroup(platform::ByteReader& reader, std::span<const std::uint8_t> bytes, std::size_t count,
               std::vector<InternetID>& out) {
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t length = 0;
        if (!reader.ReadI32(length) || length != std::int32_t(InternetID::kPersistedSize))
            return false;
        if (reader.Remaining() < InternetID::kPersistedSize)
            return false;
        InternetID id;
        if (!InternetID::Decode(bytes.subspan(reader.Offset(), InternetID::kPersistedSize), id))
            return false;
        reader.Skip(InternetID::kPersistedSize);
        out.push_back(id);
    }
    return true;
}

} // namespace

std::vector<std::uint8_t> Encode(std::span<const std::shared_ptr<InternetID>> acquaintances,
                                 std::span<const std::shared_ptr<InternetID>> friends) {
    platform::ByteWriter writer;
    writer.WriteI32(static_cast<std::int32_t>(acquaintances.size()));
    writer.WriteI32(static_cast<std::int32_t>(friends.size()));
    WriteGroup(writer, acquaintances);
    WriteGroup(writer, friends);
    return writer.Take();
}

std::optional<Lists> Decode(std::span<const std::uint8_t> bytes) {
    platform::ByteReader reader(bytes);
    std::int32_t acquaintanceCount = 0;
    std::int32_t friendCount = 0;
    if (!reader.ReadI32(acquaintanceCount) || !reader.ReadI32(friendCount))
        return std::nullopt;
    if (acquaintanceCount < 0 || friendCount < 0)
        return std::nullopt;
    // The counts must fit the bytes present before anything is reserved.
    std::size_t records = std::size_t(acquaintanceCount) + std::size_t(friendCount);
    if (records > reader.Remaining() / kRecordSize || records * kRecordSize != reader.Remaining())
        return std::nullopt;
    Lists lists;
    if (!ReadGroup(reader, bytes, std::size_t(acquaintanceCount), lists.acquaintances) ||
        !ReadGroup(reader, bytes, std::size_t(friendCount), lists.friends))
        return std::nullopt;
    if (reader.Remaining() != 0)
        return std::nullopt;
    return lists;
}

} // namespace ContactListCodec
