#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Dotted-quad text of IPv4 addresses, written and checked in one place.
namespace platform {

// Exactly four decimal numbers of at most three digits, each at most 255,
// joined by dots ("127.0.0.1"); nothing before or after.
bool IsDottedQuad(std::string_view text);

// "a.b.c.d" of the four bytes, most significant first.
std::string DottedQuad(const std::array<std::uint8_t, 4>& bytes);
// The same for an address in network byte order (in_addr::s_addr).
std::string DottedQuadOfNetworkOrder(std::uint32_t address);

} // namespace platform
