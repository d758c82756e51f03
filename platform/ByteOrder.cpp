#include "ByteOrder.h"

#include <cstring>

namespace platform {

std::string ReadFixedText(const std::uint8_t* field, std::size_t width) {
    const void* nul = std::memchr(field, 0, width);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - field)
                             : width;
    return std::string(reinterpret_cast<const char*>(field), length);
}

void WriteFixedText(std::uint8_t* field, std::size_t width, std::string_view text) {
    if (width == 0)
        return;
    std::size_t length = std::min(text.size(), width - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, width - length);
}

bool ByteReader::ReadU32(std::uint32_t& value) {
    if (Remaining() < 4)
        return false;
    value = LoadLE32(m_bytes.data() + m_offset);
    m_offset += 4;
    return true;
}

bool ByteReader::ReadI32(std::int32_t& value) {
    std::uint32_t raw = 0;
    if (!ReadU32(raw))
        return false;
    value = static_cast<std::int32_t>(raw);
    return true;
}

bool ByteReader::ReadU16(std::uint16_t& value) {
    if (Remaining() < 2)
        return false;
    value = LoadLE16(m_bytes.data() + m_offset);
    m_offset += 2;
    return true;
}

bool ByteReader::ReadU8(std::uint8_t& value) {
    if (Remaining() < 1)
        return false;
    value = m_bytes[m_offset++];
    return true;
}

bool ByteReader::ReadBytes(void* destination, std::size_t count) {
    if (Remaining() < count)
        return false;
    if (count > 0)
        std::memcpy(destination, m_bytes.data() + m_offset, count);
    m_offset += count;
    return true;
}

bool ByteReader::ReadFixedText(std::string& text, std::size_t width) {
    if (Remaining() < width)
        return false;
    text = platform::ReadFixedText(m_bytes.data() + m_offset, width);
    m_offset += width;
    return true;
}

bool ByteReader::Skip(std::size_t count) {
    if (Remaining() < count)
        return false;
    m_offset += count;
    return true;
}

void ByteWriter::WriteU32(std::uint32_t value) {
    std::uint8_t raw[4];
    StoreLE32(raw, value);
    m_bytes.insert(m_bytes.end(), raw, raw + 4);
}

void ByteWriter::WriteI32(std::int32_t value) { WriteU32(static_cast<std::uint32_t>(value)); }

void ByteWriter::WriteU16(std::uint16_t value) {
    std::uint8_t raw[2];
    StoreLE16(raw, value);
    m_bytes.insert(m_bytes.end(), raw, raw + 2);
}

void ByteWriter::WriteU8(std::uint8_t value) { m_bytes.push_back(value); }

void ByteWriter::WriteBytes(const void* source, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    m_bytes.insert(m_bytes.end(), bytes, bytes + count);
}

void ByteWriter::WriteFixedText(std::string_view text, std::size_t width) {
    std::size_t start = m_bytes.size();
    m_bytes.resize(start + width);
    platform::WriteFixedText(m_bytes.data() + start, width, text);
}

void ByteWriter::WriteZeros(std::size_t count) { m_bytes.resize(m_bytes.size() + count, 0); }

} // namespace platform
