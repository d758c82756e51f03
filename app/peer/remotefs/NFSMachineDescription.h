#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// What GetProperties tells a friend about this computer: three strings (the
// machine name and two reserved ones), each in a 155-byte field that holds at
// most 150 characters.
struct NFSMachineDescription {
    std::array<std::string, 3> strings;

    bool operator==(const NFSMachineDescription&) const = default;
};

inline constexpr std::size_t kNfsMachineDescriptionSize = 465;
inline constexpr std::size_t kNfsMachineFieldWidth = 155;
inline constexpr std::size_t kNfsMachineFieldText = 150;

// The first three of the properties, missing ones empty.
NFSMachineDescription MachineDescriptionOf(const std::vector<std::string>& properties);

// Writes exactly kNfsMachineDescriptionSize bytes; each string is cut to
// kNfsMachineFieldText characters and zero-filled to its field.
void EncodeNFSMachineDescription(const NFSMachineDescription& description,
                                 std::span<std::uint8_t, kNfsMachineDescriptionSize> out);
NFSMachineDescription
DecodeNFSMachineDescription(std::span<const std::uint8_t, kNfsMachineDescriptionSize> in);
