#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSMachineDescription.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/NFSServer.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::int32_t At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::int32_t>(bytes[offset] | bytes[offset + 1] << 8 |
                                     bytes[offset + 2] << 16 |
                                     static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

std::string TextAt(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t width) {
    std::string text;
    for (std::size_t i = offset; i < offset + width && bytes[i] != 0; ++i)
        text.push_back(static_cast<char>(bytes[i]));
    return text;
}

NFSListingEntry SampleEntry() {
    NFSListingEntry entry;
    entry.isHidden = 1;
    entry.isDirectory = 0;
    entry.status.creationTime = 0x01020304;
    entry.status.modificationTime = 11;
    entry.status.accessTime = 12;
    entry.status.size = 1234;
    entry.status.attribute = 0x22;
    entry.status.fullPath = "/share/.hidden";
    entry.statusResult = 1;
    entry.infoA.displayName = "small";
    entry.infoB.displayName = "plain";
    entry.infoB.typeName = "Plain text document";
    entry.infoB.attributes = 0x20000000;
    entry.infoC.displayName = "open";
    entry.isDots = 0;
    entry.hasSubdirectories = 7;
    entry.infoResultB = 21;
    entry.infoResultA = 22;
    entry.infoResultC = 23;
    entry.path = "/share/.hidden";
    return entry;
}

TEST(NFSServerRecords, ListingEntryFieldsSitAtTheirOffsets) {
    std::vector<std::uint8_t> bytes(kNfsListingEntrySize, 0xEE);
    EncodeNFSListingEntry(SampleEntry(), std::span<std::uint8_t, kNfsListingEntrySize>(bytes));
    EXPECT_EQ(At(bytes, 0), 1);
    EXPECT_EQ(At(bytes, 4), 0);
    EXPECT_EQ(At(bytes, 8), 0x01020304); // the status record starts here
    EXPECT_EQ(bytes[8], 0x04);
    EXPECT_EQ(At(bytes, 8 + 12), 1234);
    EXPECT_EQ(bytes[8 + 16], 0x22);
    EXPECT_EQ(TextAt(bytes, 8 + 18, 260), "/share/.hidden");
    EXPECT_EQ(At(bytes, 288), 1);
    EXPECT_EQ(TextAt(bytes, 292 + 12, 260), "small");
    EXPECT_EQ(TextAt(bytes, 644 + 12, 260), "plain");
    EXPECT_EQ(TextAt(bytes, 644 + 272, 80), "Plain text document");
    EXPECT_EQ(static_cast<std::uint32_t>(At(bytes, 644 + 8)), 0x20000000u);
    EXPECT_EQ(TextAt(bytes, 996 + 12, 260), "open");
    EXPECT_EQ(At(bytes, 1348), 0);
    EXPECT_EQ(At(bytes, 1352), 7);
    EXPECT_EQ(At(bytes, 1356), 21); // B's result comes first
    EXPECT_EQ(At(bytes, 1360), 22);
    EXPECT_EQ(At(bytes, 1364), 23);
    EXPECT_EQ(TextAt(bytes, 1368, 260), "/share/.hidden");
    // Everything after the path's text is zero filler, nothing of the old bytes.
    for (std::size_t i = 1368 + 14; i < kNfsListingEntrySize; ++i)
        ASSERT_EQ(bytes[i], 0) << i;

    EXPECT_EQ(DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize>(bytes)),
              SampleEntry());
}

TEST(NFSServerRecords, ListingEntryPathIsCutToItsFieldAndUnterminatedTextStaysInside) {
    NFSListingEntry entry;
    entry.path = "/" + std::string(400, 'p');
    std::vector<std::uint8_t> bytes(kNfsListingEntrySize);
    EncodeNFSListingEntry(entry, std::span<std::uint8_t, kNfsListingEntrySize>(bytes));
    EXPECT_EQ(bytes.back(), 0);
    auto decoded =
        DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize>(bytes));
    EXPECT_EQ(decoded.path, entry.path.substr(0, 259));

    // A hostile entry with no zero byte anywhere decodes to texts bounded by their fields.
    std::vector<std::uint8_t> hostile(kNfsListingEntrySize, 'x');
    decoded = DecodeNFSListingEntry(std::span<const std::uint8_t, kNfsListingEntrySize>(hostile));
    EXPECT_LE(decoded.path.size(), 260u);
    EXPECT_LE(decoded.infoB.typeName.size(), 80u);
    EXPECT_LE(decoded.status.fullPath.size(), 260u);
}

TEST(NFSServerRecords, MachineDescriptionHoldsThreeFieldsOfAtMost150Characters) {
    std::vector<std::string> properties{std::string(200, 'n'), "Unimplemented", "Unimplemented",
                                        "ignored"};
    std::vector<std::uint8_t> bytes(kNfsMachineDescriptionSize, 0xEE);
    EncodeNFSMachineDescription(MachineDescriptionOf(properties),
                                std::span<std::uint8_t, kNfsMachineDescriptionSize>(bytes));
    EXPECT_EQ(TextAt(bytes, 0, 155), std::string(150, 'n'));
    for (std::size_t i = 150; i < 155; ++i)
        EXPECT_EQ(bytes[i], 0);
    EXPECT_EQ(TextAt(bytes, 155, 155), "Unimplemented");
    EXPECT_EQ(TextAt(bytes, 310, 155), "Unimplemented");
    EXPECT_EQ(bytes.back(), 0);

    auto decoded = DecodeNFSMachineDescription(
        std::span<const std::uint8_t, kNfsMachineDescriptionSize>(bytes));
    EXPECT_EQ(decoded.strings[0], std::string(150, 'n'));
    EXPECT_EQ(decoded.strings[2], "Unimplemented");

    // Fewer properties leave the rest empty.
    EXPECT_EQ(MachineDescriptionOf({"one"}).strings[1], "");
}

TEST(NFSServerRecords, VersionIsTheSmallerOfBothComparedUnsigned) {
    EXPECT_EQ(NFSServer::AgreedVersion(2000), 1000);
    EXPECT_EQ(NFSServer::AgreedVersion(1000), 1000);
    EXPECT_EQ(NFSServer::AgreedVersion(999), 999);
    EXPECT_EQ(NFSServer::AgreedVersion(0), 0);
    EXPECT_EQ(NFSServer::AgreedVersion(-1), 1000);
    EXPECT_EQ(NfsRequestClass(kNfsListDirectory), 7);
    EXPECT_EQ(NfsRequestOperation(kNfsListDirectory), 0x13);
}

} // namespace
