#include "BridgeRecord.h"

#include "platform/ByteOrder.h"

#include <cstring>

std::int32_t BridgeRecord::I32At(std::size_t offset) const {
    return Fits(offset, 4) ? platform::LoadLE32s(m_bytes.data() + offset) : 0;
}

void BridgeRecord::SetI32At(std::size_t offset, std::int32_t value) {
    if (Fits(offset, 4))
        platform::StoreLE32s(m_bytes.data() + offset, value);
}

std::string BridgeRecord::TextAt(std::size_t offset, std::size_t width) const {
    if (width == 0 || !Fits(offset, width))
        return {};
    // The last byte of a field is never part of the text.
    return platform::ReadFixedText(m_bytes.data() + offset, width - 1);
}

void BridgeRecord::SetTextAt(std::size_t offset, std::string_view text, std::size_t width) {
    if (Fits(offset, width))
        platform::WriteFixedText(m_bytes.data() + offset, width, text);
}

void BridgeRecord::CopyIn(std::size_t offset, const void* bytes, std::size_t length) {
    if (Fits(offset, length) && length > 0)
        std::memcpy(m_bytes.data() + offset, bytes, length);
}

void BridgeRecord::CopyOut(std::size_t offset, void* bytes, std::size_t length) const {
    if (Fits(offset, length) && length > 0)
        std::memcpy(bytes, m_bytes.data() + offset, length);
}

void BridgeRecord::Zero(std::size_t offset, std::size_t length) {
    if (Fits(offset, length) && length > 0)
        std::memset(m_bytes.data() + offset, 0, length);
}
