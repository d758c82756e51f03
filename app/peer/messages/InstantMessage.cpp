#include "app/peer/messages/InstantMessage.h"

#include "platform/ByteOrder.h"

namespace {

// The text of a field whose last byte is treated as a terminator whatever the
// sender put there.
std::string ReadTerminatedField(const std::uint8_t* field, std::size_t width) {
    return platform::ReadFixedText(field, width - 1);
}

} // namespace

InstantMessagePacket EncodeInstantMessage(const InstantMessage& message) {
    InstantMessagePacket packet{};
    platform::WriteFixedText(packet.data() + kInstantMessageSenderOffset,
                             kInstantMessageSenderWidth, message.sender);
    platform::WriteFixedText(packet.data() + kInstantMessageTextOffset, kInstantMessageTextWidth,
                             message.text);
    platform::StoreLE32(packet.data() + kInstantMessageBubbleOffset,
                        message.bubbleColour & kRgbMask);
    platform::StoreLE32(packet.data() + kInstantMessageTextColourOffset,
                        message.textColour & kRgbMask);
    return packet;
}

std::optional<InstantMessage> DecodeInstantMessage(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kInstantMessageSize)
        return std::nullopt;
    InstantMessage message;
    message.sender =
        ReadTerminatedField(bytes.data() + kInstantMessageSenderOffset, kInstantMessageSenderWidth);
    message.text =
        ReadTerminatedField(bytes.data() + kInstantMessageTextOffset, kInstantMessageTextWidth);
    message.bubbleColour =
        platform::LoadLE32(bytes.data() + kInstantMessageBubbleOffset) & kRgbMask;
    message.textColour =
        platform::LoadLE32(bytes.data() + kInstantMessageTextColourOffset) & kRgbMask;
    return message;
}
