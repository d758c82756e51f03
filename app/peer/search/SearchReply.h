#pragma once

#include "app/peer/wire/TimeOutSocket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What a search server sends back to the originator's result port when it
// found something: a 204-byte header (result count, then the responder's
// name in a 200-byte field), the table of result paths and the table of the
// matched texts, count entries of 261 bytes each.
//
// Both ends hold at most kSearchReplyResultLimit results. The count arrives
// from a stranger, so the receiver refuses a larger one, and its tables grow
// only as their bytes arrive: a reply that announces more than it holds is
// dropped without ever allocating what it announced.
inline constexpr std::int32_t kSearchReplyResultLimit = 4096;
inline constexpr std::size_t kSearchReplyHeaderSize = 4 + 200;
// Each piece of a table must arrive (or go out) within the call limit, so a
// silent or dripping peer holds a thread for seconds, however long the table.
inline constexpr std::size_t kSearchReplyChunk = 16 * 1024;

struct SearchReply {
    std::string responder;           // e-mail address, or "(Unknown)"
    std::vector<std::string> paths;  // full local paths of the matches
    std::vector<std::string> titles; // what matched, one per path

    std::vector<std::uint8_t> EncodeHeader() const;
    // The count, or nothing for fewer than kSearchReplyHeaderSize bytes.
    static std::optional<std::int32_t> DecodeHeader(std::span<const std::uint8_t> bytes,
                                                    std::string& responder);
    // count entries of 261 bytes, each zero-filled and cut to 260 characters.
    static std::vector<std::uint8_t> EncodeTable(const std::vector<std::string>& entries);
    // Nothing unless exactly count * 261 bytes are given.
    static std::optional<std::vector<std::string>> DecodeTable(std::span<const std::uint8_t> bytes,
                                                               std::size_t count);
};

// Sends the whole reply (at most kSearchReplyResultLimit results; paths and
// titles of equal length); each piece within limit. True when all went out.
bool SendSearchReply(TimeOutSocket& connection, const SearchReply& reply,
                     std::chrono::milliseconds limit);

// Receives one reply; nothing when the header is short, the count is below 1
// or above the limit, or a table stops short.
std::optional<SearchReply> ReceiveSearchReply(TimeOutSocket& connection,
                                              std::chrono::milliseconds limit);
