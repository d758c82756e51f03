#include "app/peer/remotefs/NFSMachineDescription.h"

#include "platform/ByteOrder.h"

#include <cstring>
#include <string_view>

static_assert(3 * kNfsMachineFieldWidth == kNfsMachineDescriptionSize);

NFSMachineDescription MachineDescriptionOf(const std::vector<std::string>& properties) {
    NFSMachineDescription description;
    for (std::size_t i = 0; i < description.strings.size() && i < properties.size(); ++i)
        description.strings[i] = properties[i];
    return description;
}

void EncodeNFSMachineDescription(const NFSMachineDescription& description,
                                 std::span<std::uint8_t, kNfsMachineDescriptionSize> out) {
    std::memset(out.data(), 0, out.size());
    for (std::size_t i = 0; i < description.strings.size(); ++i) {
        std::string_view text(description.strings[i]);
        // The field would take 154 characters; the reader expects at most 150.
        text = text.substr(0, kNfsMachineFieldText);
        platform::WriteFixedText(out.data() + i * kNfsMachineFieldWidth, kNfsMachineFieldWidth,
                                 text);
    }
}

NFSMachineDescription
DecodeNFSMachineDescription(std::span<const std::uint8_t, kNfsMachineDescriptionSize> in) {
    NFSMachineDescription description;
    for (std::size_t i = 0; i < description.strings.size(); ++i)
        description.strings[i] =
            platform::ReadFixedText(in.data() + i * kNfsMachineFieldWidth, kNfsMachineFieldWidth);
    return description;
}
