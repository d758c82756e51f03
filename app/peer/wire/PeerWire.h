#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What every exchange between two Drovick peers shares: the fixed ports, the
// width of each text field, the per-call time limits, and how integers, text
// fields and IPv4 addresses are laid on the wire. Integers are 32-bit
// little-endian; text travels in fixed, zero-filled fields.

// TCP ports of the peer services; they are fixed, never configured.
inline constexpr int kNfsServerPort = 3782;
inline constexpr int kSearchServerPort = 3785;
inline constexpr int kSearchResultPort = 3788;
inline constexpr int kTransferServerPort = 3791;
inline constexpr int kMessengerPort = 3794;

// Widths of the text fields in use.
inline constexpr std::size_t kPathFieldWidth = 512;     // file service paths and string results
inline constexpr std::size_t kSearchQueryWidth = 150;   // a forwarded query may fill it
inline constexpr std::size_t kResponderNameWidth = 200; // who found a search result
inline constexpr std::size_t kResultEntryWidth = 261;   // a result's path or title
inline constexpr std::size_t kTransferPathWidth = 520;  // a download request's path
inline constexpr std::size_t kMachineDescriptionWidth = 155; // one machine description string
inline constexpr std::size_t kMachineDescriptionText = 150;  // what goes into that field

// Time limits of a peer connection.
inline constexpr std::chrono::milliseconds kPeerCallLimit{5000}; // each connect, send and receive
inline constexpr std::chrono::milliseconds kListingCountLimit{
    50000}; // a listing's count is awaited longer

inline constexpr std::size_t kInt32Size = 4;

std::array<std::uint8_t, kInt32Size> EncodeInt32(std::int32_t value);
// Reads the first four bytes; false (value untouched) when fewer arrived.
bool DecodeInt32(std::span<const std::uint8_t> bytes, std::int32_t& value);

// The whole field: zero-filled, then at most width - 1 characters, so it always
// ends with a zero byte. A longer text is cut.
std::vector<std::uint8_t> EncodeTextField(std::string_view text, std::size_t width);
// The text up to the first zero byte, never past the field; a field without any
// zero byte yields all width characters. False when fewer than width bytes are given.
bool DecodeTextField(std::span<const std::uint8_t> bytes, std::size_t width, std::string& text);

// The 4 raw bytes of a dotted address as a search request carries them: first
// number first. Nothing for a text that is not four numbers of 0 to 255.
std::optional<std::array<std::uint8_t, 4>> AddressBytes(std::string_view dotted);
// "%i.%i.%i.%i" of 4 raw bytes.
std::string DottedAddress(std::span<const std::uint8_t, 4> bytes);
