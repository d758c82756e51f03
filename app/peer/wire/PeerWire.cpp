#include "app/peer/wire/PeerWire.h"

#include "platform/ByteOrder.h"

std::array<std::uint8_t, kInt32Size> EncodeInt32(std::int32_t value) {
    std::array<std::uint8_t, kInt32Size> bytes{};
    platform::StoreLE32s(bytes.data(), value);
    return bytes;
}

bool DecodeInt32(std::span<const std::uint8_t> bytes, std::int32_t& value) {
    if (bytes.size() < kInt32Size)
        return false;
    value = platform::LoadLE32s(bytes.data());
    return true;
}

std::vector<std::uint8_t> EncodeTextField(std::string_view text, std::size_t width) {
    std::vector<std::uint8_t> field(width, 0);
    platform::WriteFixedText(field.data(), width, text);
    return field;
}

bool DecodeTextField(std::span<const std::uint8_t> bytes, std::size_t width, std::string& text) {
    if (bytes.size() < width)
        return false;
    text = platform::ReadFixedText(bytes.data(), width);
    return true;
}

std::optional<std::array<std::uint8_t, 4>> AddressBytes(std::string_view dotted) {
    std::array<std::uint8_t, 4> bytes{};
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= dotted.size() || dotted[position] != '.')
                return std::nullopt;
            ++position;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (position < dotted.size() && dotted[position] >= '0' && dotted[position] <= '9' &&
               digits < 4) {
            value = value * 10 + static_cast<unsigned>(dotted[position] - '0');
            ++position;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        bytes[static_cast<std::size_t>(part)] = static_cast<std::uint8_t>(value);
    }
    if (position != dotted.size())
        return std::nullopt;
    return bytes;
}

std::string DottedAddress(std::span<const std::uint8_t, 4> bytes) {
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}
