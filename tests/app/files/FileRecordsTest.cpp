#include "app/files/FileStatus.h"
#include "app/files/ShellFileInfo.h"

#include <array>
#include <gtest/gtest.h>

namespace {

TEST(FileRecords, FileStatusLayoutPutsEachFieldAtItsOffset) {
    FileStatus status;
    status.creationTime = 0x01020304;
    status.modificationTime = -2;
    status.accessTime = 7;
    status.size = 0x11223344;
    status.attribute = kAttributeDirectory | kAttributeHidden;
    status.fullPath = "/home/user/Music";
    std::array<std::uint8_t, kFileStatusSize> bytes;
    bytes.fill(0xAA);
    EncodeFileStatus(status, bytes);
    EXPECT_EQ(bytes[0], 0x04);
    EXPECT_EQ(bytes[3], 0x01);
    EXPECT_EQ(bytes[4], 0xFE);
    EXPECT_EQ(bytes[7], 0xFF);
    EXPECT_EQ(bytes[12], 0x44);
    EXPECT_EQ(bytes[16], 0x12);
    EXPECT_EQ(bytes[17], 0x00); // padding
    EXPECT_EQ(bytes[18], '/');
    EXPECT_EQ(bytes[18 + 16], 0);
    EXPECT_EQ(bytes[278], 0);
    EXPECT_EQ(bytes[279], 0);
    EXPECT_EQ(DecodeFileStatus(bytes), status);
}

TEST(FileRecords, OverlongAndUnterminatedTextStaysInsideItsField) {
    FileStatus status;
    status.fullPath = std::string(400, 'p');
    std::array<std::uint8_t, kFileStatusSize> bytes{};
    EncodeFileStatus(status, bytes);
    EXPECT_EQ(bytes[18 + 259], 0);
    EXPECT_EQ(DecodeFileStatus(bytes).fullPath, std::string(259, 'p'));

    // A peer's record without any NUL reads no further than the field.
    bytes.fill('q');
    EXPECT_EQ(DecodeFileStatus(bytes).fullPath.size(), kFileStatusPathWidth);

    std::array<std::uint8_t, kShellFileInfoSize> info;
    info.fill('r');
    ShellFileInfo decoded = DecodeShellFileInfo(info);
    EXPECT_EQ(decoded.displayName.size(), kDisplayNameWidth);
    EXPECT_EQ(decoded.typeName.size(), kTypeNameWidth);
}

TEST(FileRecords, ShellFileInfoLayoutPutsEachFieldAtItsOffset) {
    ShellFileInfo info;
    info.iconHandle = 0xDEADBEEF;
    info.iconIndex = -1;
    info.attributes = kItemFolder | kItemLink;
    info.displayName = "Music";
    info.typeName = std::string(100, 't');
    std::array<std::uint8_t, kShellFileInfoSize> bytes{};
    EncodeShellFileInfo(info, bytes);
    EXPECT_EQ(bytes[0], 0xEF);
    EXPECT_EQ(bytes[4], 0xFF);
    EXPECT_EQ(bytes[11], 0x20);
    EXPECT_EQ(bytes[10], 0x01);
    EXPECT_EQ(bytes[12], 'M');
    EXPECT_EQ(bytes[272], 't');
    EXPECT_EQ(bytes[351], 0);
    ShellFileInfo decoded = DecodeShellFileInfo(bytes);
    EXPECT_EQ(decoded.typeName, std::string(79, 't'));
    EXPECT_EQ(decoded.displayName, "Music");
    EXPECT_EQ(decoded.iconIndex, -1);
    EXPECT_EQ(decoded.attributes, kItemFolder | kItemLink);
}

TEST(FileRecords, IconKindFollowsOpenThenSmallThenLarge) {
    EXPECT_EQ(IconKindOfFlags(kInfoIcon | kInfoSmallIcon | kInfoOpenIcon), kIconOpen);
    EXPECT_EQ(IconKindOfFlags(kInfoIcon | kInfoSmallIcon), kIconSmall);
    EXPECT_EQ(IconKindOfFlags(kInfoIcon), kIconLarge);
}

} // namespace
