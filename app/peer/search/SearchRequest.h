#pragma once

#include "app/peer/wire/TimeOutSocket.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A search request as it travels to a search server, from the originator or
// forwarded by another server: a 16-byte header (mode, hop count, the
// originator's IPv4 address in dotted-text order, the originator's clock when
// the search started) and the query in a 150-byte field. The originator puts
// at most 149 characters into the field; a server forwards what it received,
// which may fill all 150 bytes without a terminating zero.
struct SearchRequest {
    static constexpr std::size_t kHeaderSize = 16;
    static constexpr std::size_t kQueryOffset = kHeaderSize;
    static constexpr std::size_t kSize = kHeaderSize + 150;
    static constexpr std::size_t kOriginQueryText = 149;
    static constexpr std::size_t kForwardedQueryText = 150;

    // What the query is matched against.
    enum Mode : std::int32_t { kMatchName = 0, kMatchTitle = 1, kMatchArtist = 2 };
    // A request that arrives with more hops than this is dropped.
    static constexpr std::int32_t kHopLimit = 5;

    std::int32_t mode = kMatchName;
    std::int32_t hopCount = 0;
    std::array<std::uint8_t, 4> originator{};
    std::int32_t stamp = 0;
    std::string query;

    // The 166 bytes; the query is cut to queryText characters (149 from the
    // originator, 150 when forwarded) and the rest of its field is zeros.
    std::vector<std::uint8_t> Encode(std::size_t queryText = kOriginQueryText) const;
    // Reads a whole request; nothing unless exactly kSize bytes are given. The
    // query is the field up to its first zero, at most 150 characters.
    static std::optional<SearchRequest> Decode(std::span<const std::uint8_t> bytes);

    std::string OriginatorText() const;
};

// Opens a connection for a search exchange with up to `attempts` connection
// attempts one after another, all within `budget`: each attempt gets the call
// limit of a connect, and no attempt starts once the budget is spent. So a
// refused port is tried quickly again, while an address that never answers
// costs one connect limit, not ten. The connection watches running when given.
std::unique_ptr<TimeOutSocket> OpenSearchConnection(const std::string& host, int port, int attempts,
                                                    std::chrono::milliseconds budget,
                                                    const std::atomic<bool>* running = nullptr);

// Sends the header and then, when it went out, the query field, each within
// limit. True when both went out whole.
bool SendSearchRequest(TimeOutSocket& connection, const SearchRequest& request,
                       std::size_t queryText, std::chrono::milliseconds limit);

// Opens a connection to host:port (attempts as above) and sends the request
// on it. True when the whole request went out.
bool DeliverSearchRequest(const std::string& host, int port, const SearchRequest& request,
                          std::size_t queryText, int attempts,
                          const std::atomic<bool>* running = nullptr);
