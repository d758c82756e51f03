#include "app/files/ShellFileInfo.h"

#include "platform/ByteOrder.h"

#include <cstring>

namespace {
constexpr std::size_t kDisplayNameOffset = 12;
constexpr std::size_t kTypeNameOffset = kDisplayNameOffset + kDisplayNameWidth;
static_assert(kTypeNameOffset + kTypeNameWidth == kShellFileInfoSize);
} // namespace

int IconKindOfFlags(std::uint32_t flags) {
    if (flags & kInfoOpenIcon)
        return kIconOpen;
    if (flags & kInfoSmallIcon)
        return kIconSmall;
    return kIconLarge;
}

void EncodeShellFileInfo(const ShellFileInfo& info,
                         std::span<std::uint8_t, kShellFileInfoSize> out) {
    std::memset(out.data(), 0, out.size());
    platform::StoreLE32(out.data() + 0, info.iconHandle);
    platform::StoreLE32s(out.data() + 4, info.iconIndex);
    platform::StoreLE32(out.data() + 8, info.attributes);
    platform::WriteFixedText(out.data() + kDisplayNameOffset, kDisplayNameWidth, info.displayName);
    platform::WriteFixedText(out.data() + kTypeNameOffset, kTypeNameWidth, info.typeName);
}

ShellFileInfo DecodeShellFileInfo(std::span<const std::uint8_t, kShellFileInfoSize> in) {
    ShellFileInfo info;
    info.iconHandle = platform::LoadLE32(in.data() + 0);
    info.iconIndex = platform::LoadLE32s(in.data() + 4);
    info.attributes = platform::LoadLE32(in.data() + 8);
    info.displayName = platform::ReadFixedText(in.data() + kDisplayNameOffset, kDisplayNameWidth);
    info.typeName = platform::ReadFixedText(in.data() + kTypeNameOffset, kTypeNameWidth);
    return info;
}
