#include "app/files/FileStatus.h"
#include "app/files/ShellFileInfo.h"
#include "support/RecordLayout.h"

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
    EXPECT_TRUE(testsupport::HoldsLayout(
        bytes, {
                   {"creationTime", 0, 4, 0x01020304},
                   {"modificationTime", 4, 4, -2},
                   {"accessTime", 8, 4, 7},
                   {"size", 12, 4, 0x11223344},
                   {"attribute", 16, 1, 0x12},
                   {"padding", 17, 1, 0},
                   {"fullPath", 18, 260, "/home/user/Music"},
                   {"fullPath's filler", 18 + 16, 260 - 16, testsupport::ZeroFilled{}},
                   {"padding at the end", 278, 2, 0},
               }));
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
    EXPECT_TRUE(testsupport::HoldsLayout(bytes, {
                                                    {"iconHandle", 0, 4, 0xDEADBEEF},
                                                    {"iconIndex", 4, 4, -1},
                                                    {"attributes", 8, 4, kItemFolder | kItemLink},
                                                    {"displayName", 12, 260, "Music"},
                                                    {"typeName", 272, 80, std::string(79, 't')},
                                                    {"typeName's terminator", 351, 1, 0},
                                                }));
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
