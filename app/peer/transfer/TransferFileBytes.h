#pragma once

#include "platform/ByteOrder.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The pieces the transfer agent's own small files are made of: little-endian
// numbers and texts led by a 16-bit length.
void AppendU16(std::vector<std::uint8_t>& out, std::uint16_t value);
void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t value);
void AppendI64(std::vector<std::uint8_t>& out, std::int64_t value);
// False (nothing appended) for a text longer than longest or 65535 bytes.
bool AppendText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t longest);

bool ReadI64(platform::ByteReader& in, std::int64_t& value);
// False for a length past longest or past the end; a NUL inside is damage.
bool ReadText(platform::ByteReader& in, std::string& text, std::size_t longest);

// The whole file when it is a regular file of at most longest bytes.
bool ReadSmallFile(const std::filesystem::path& file, std::size_t longest,
                   std::vector<std::uint8_t>& bytes);
