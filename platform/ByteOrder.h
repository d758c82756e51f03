#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Every integer on a wire and in a file is 32-bit little-endian unless a record
// says otherwise; these are the only places that know the byte order.
inline void StoreLE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline std::uint32_t LoadLE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline void StoreLE32s(std::uint8_t* p, std::int32_t v) { StoreLE32(p, std::uint32_t(v)); }
inline std::int32_t LoadLE32s(const std::uint8_t* p) { return std::int32_t(LoadLE32(p)); }
inline void StoreLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint16_t LoadLE16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

// Reads the text of a fixed field: up to the first NUL, never past the field.
std::string ReadFixedText(const std::uint8_t* field, std::size_t width);

// Writes at most width - 1 characters and fills the rest of the field with NUL,
// so the field is always terminated.
void WriteFixedText(std::uint8_t* field, std::size_t width, std::string_view text);

// Sequential reader over untrusted bytes: every read checks the remaining length
// and fails (returns false, reads nothing) instead of running past the end.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    bool ReadU32(std::uint32_t& value);
    bool ReadI32(std::int32_t& value);
    bool ReadU16(std::uint16_t& value);
    bool ReadU8(std::uint8_t& value);
    bool ReadBytes(void* destination, std::size_t count);
    bool ReadFixedText(std::string& text, std::size_t width);
    bool Skip(std::size_t count);

    std::size_t Offset() const { return m_offset; }
    std::size_t Remaining() const { return m_bytes.size() - m_offset; }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_offset = 0;
};

// Sequential writer into a growing buffer.
class ByteWriter {
public:
    void WriteU32(std::uint32_t value);
    void WriteI32(std::int32_t value);
    void WriteU16(std::uint16_t value);
    void WriteU8(std::uint8_t value);
    void WriteBytes(const void* source, std::size_t count);
    void WriteFixedText(std::string_view text, std::size_t width);
    void WriteZeros(std::size_t count);

    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }
    std::vector<std::uint8_t> Take() { return std::move(m_bytes); }

private:
    std::vector<std::uint8_t> m_bytes;
};

} // namespace platform
