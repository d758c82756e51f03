#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// One instant message as it travels: a single packet of exactly 648 bytes on a
// connection of its own, sent raw and followed by a close. The receiver's
// address is not in it; the receiver takes the sender's from the connection.
//
//   0-124    sender's own profile name, NUL-terminated
//   125-636  message text, NUL-terminated
//   637-639  zero
//   640-643  bubble colour, little-endian RGB (red in the low byte, high byte 0)
//   644-647  text colour, same encoding
struct InstantMessage {
    std::string sender;
    std::string text;
    std::uint32_t bubbleColour = 0;
    std::uint32_t textColour = 0;
};

inline constexpr std::size_t kInstantMessageSize = 648;
inline constexpr std::size_t kInstantMessageSenderOffset = 0;
inline constexpr std::size_t kInstantMessageSenderWidth = 125;
inline constexpr std::size_t kInstantMessageTextOffset = 125;
inline constexpr std::size_t kInstantMessageTextWidth = 512;
inline constexpr std::size_t kInstantMessageBubbleOffset = 640;
inline constexpr std::size_t kInstantMessageTextColourOffset = 644;
// Longest texts the fields hold with their terminator.
inline constexpr std::size_t kInstantMessageSenderText = kInstantMessageSenderWidth - 1;
inline constexpr std::size_t kInstantMessageTextText = kInstantMessageTextWidth - 1;
// The colour bits of an RGB word; the high byte is always zero.
inline constexpr std::uint32_t kRgbMask = 0x00ffffff;

using InstantMessagePacket = std::array<std::uint8_t, kInstantMessageSize>;

// The whole packet: texts cut to their fields and zero-filled behind their
// terminators, the gap zero, colours with their high byte cleared.
InstantMessagePacket EncodeInstantMessage(const InstantMessage& message);

// Nothing unless exactly kInstantMessageSize bytes are given. A text field
// without a terminator is read as if its last byte were one, so no text is
// longer than its field allows; colours keep only their RGB bits.
std::optional<InstantMessage> DecodeInstantMessage(std::span<const std::uint8_t> bytes);
