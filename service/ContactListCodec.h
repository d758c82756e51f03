#pragma once

#include "InternetID.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The contact lists as the engine state stores them: int32 number of
// acquaintances A, int32 number of friends F, then A records and F records, each
// an int32 length (524) followed by that contact's persisted InternetID bytes.
// Integers are 32-bit little-endian.
namespace ContactListCodec {

struct Lists {
    std::vector<InternetID> acquaintances;
    std::vector<InternetID> friends;
};

std::vector<std::uint8_t> Encode(std::span<const std::shared_ptr<InternetID>> acquaintances,
                                 std::span<const std::shared_ptr<InternetID>> friends);

// Nothing (unreadable) for a negative count, counts that the bytes present
// cannot hold, a record length other than 524, a record cut short, or bytes
// left over after the last record.
std::optional<Lists> Decode(std::span<const std::uint8_t> bytes);

} // namespace ContactListCodec
