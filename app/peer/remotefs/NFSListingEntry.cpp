#include "app/peer/remotefs/NFSListingEntry.h"

#include "platform/ByteOrder.h"

#include <cstring>

namespace {

constexpr std::size_t kIsHidden = 0;
constexpr std::size_t kIsDirectory = 4;
constexpr std::size_t kStatus = 8;
constexpr std::size_t kStatusResult = kStatus + kFileStatusSize; // 288
constexpr std::size_t kInfoA = 292;
constexpr std::size_t kInfoB = kInfoA + kShellFileInfoSize;  // 644
constexpr std::size_t kInfoC = kInfoB + kShellFileInfoSize;  // 996
constexpr std::size_t kIsDots = kInfoC + kShellFileInfoSize; // 1348
constexpr std::size_t kHasSubdirectories = 1352;
constexpr std::size_t kInfoResultB = 1356;
constexpr std::size_t kInfoResultA = 1360;
constexpr std::size_t kInfoResultC = 1364;
constexpr std::size_t kPath = 1368;

static_assert(kStatusResult == 288 && kIsDots == 1348);
static_assert(kPath + kNfsListingPathWidth == kNfsListingEntrySize);

std::span<std::uint8_t, kShellFileInfoSize>
InfoAt(std::span<std::uint8_t, kNfsListingEntrySize> out, std::size_t offset) {
    return std::span<std::uint8_t, kShellFileInfoSize>(out.data() + offset, kShellFileInfoSize);
}

ShellFileInfo InfoFrom(std::span<const std::uint8_t, kNfsListingEntrySize> in, std::size_t offset) {
    return DecodeShellFileInfo(
        std::span<const std::uint8_t, kShellFileInfoSize>(in.data() + offset, kShellFileInfoSize));
}

} // namespace

void EncodeNFSListingEntry(const NFSListingEntry& entry,
                           std::span<std::uint8_t, kNfsListingEntrySize> out) {
    std::memset(out.data(), 0, out.size());
    platform::StoreLE32s(out.data() + kIsHidden, entry.isHidden);
    platform::StoreLE32s(out.data() + kIsDirectory, entry.isDirectory);
    EncodeFileStatus(entry.status, std::span<std::uint8_t, kFileStatusSize>(out.data() + kStatus,
                                                                            kFileStatusSize));
    platform::StoreLE32s(out.data() + kStatusResult, entry.statusResult);
    EncodeShellFileInfo(entry.infoA, InfoAt(out, kInfoA));
    EncodeShellFileInfo(entry.infoB, InfoAt(out, kInfoB));
    EncodeShellFileInfo(entry.infoC, InfoAt(out, kInfoC));
    platform::StoreLE32s(out.data() + kIsDots, entry.isDots);
    platform::StoreLE32s(out.data() + kHasSubdirectories, entry.hasSubdirectories);
    platform::StoreLE32s(out.data() + kInfoResultB, entry.infoResultB);
    platform::StoreLE32s(out.data() + kInfoResultA, entry.infoResultA);
    platform::StoreLE32s(out.data() + kInfoResultC, entry.infoResultC);
    platform::WriteFixedText(out.data() + kPath, kNfsListingPathWidth, entry.path);
}

NFSListingEntry DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize> in) {
    NFSListingEntry entry;
    entry.isHidden = platform::LoadLE32s(in.data() + kIsHidden);
    entry.isDirectory = platform::LoadLE32s(in.data() + kIsDirectory);
    entry.status = DecodeFileStatus(
        std::span<const std::uint8_t, kFileStatusSize>(in.data() + kStatus, kFileStatusSize));
    entry.statusResult = platform::LoadLE32s(in.data() + kStatusResult);
    entry.infoA = InfoFrom(in, kInfoA);
    entry.infoB = InfoFrom(in, kInfoB);
    entry.infoC = InfoFrom(in, kInfoC);
    entry.isDots = platform::LoadLE32s(in.data() + kIsDots);
    entry.hasSubdirectories = platform::LoadLE32s(in.data() + kHasSubdirectories);
    entry.infoResultB = platform::LoadLE32s(in.data() + kInfoResultB);
    entry.infoResultA = platform::LoadLE32s(in.data() + kInfoResultA);
    entry.infoResultC = platform::LoadLE32s(in.data() + kInfoResultC);
    entry.path = platform::ReadFixedText(in.data() + kPath, kNfsListingPathWidth);
    return entry;
}
