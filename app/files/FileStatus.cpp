#include "app/files/FileStatus.h"

#include "platform/ByteOrder.h"

#include <cstring>

// Layout: four int32 (creation, modification, access, size), the attribute
// byte, one padding byte, the 260-byte path, two padding bytes.
namespace {
constexpr std::size_t kAttributeOffset = 16;
constexpr std::size_t kPathOffset = 18;
static_assert(kPathOffset + kFileStatusPathWidth + 2 == kFileStatusSize);
} // namespace

void EncodeFileStatus(const FileStatus& status, std::span<std::uint8_t, kFileStatusSize> out) {
    std::memset(out.data(), 0, out.size());
    platform::StoreLE32s(out.data() + 0, status.creationTime);
    platform::StoreLE32s(out.data() + 4, status.modificationTime);
    platform::StoreLE32s(out.data() + 8, status.accessTime);
    platform::StoreLE32s(out.data() + 12, status.size);
    out[kAttributeOffset] = status.attribute;
    platform::WriteFixedText(out.data() + kPathOffset, kFileStatusPathWidth, status.fullPath);
}

FileStatus DecodeFileStatus(std::span<const std::uint8_t, kFileStatusSize> in) {
    FileStatus status;
    status.creationTime = platform::LoadLE32s(in.data() + 0);
    status.modificationTime = platform::LoadLE32s(in.data() + 4);
    status.accessTime = platform::LoadLE32s(in.data() + 8);
    status.size = platform::LoadLE32s(in.data() + 12);
    status.attribute = in[kAttributeOffset];
    status.fullPath = platform::ReadFixedText(in.data() + kPathOffset, kFileStatusPathWidth);
    return status;
}
