#include "app/peer/remotefs/NFSListingEntry.h"
#include "app/peer/remotefs/NFSMachineDescription.h"
#include "app/peer/remotefs/NFSProtocol.h"
#include "app/peer/remotefs/NFSServer.h"
#include "support/RecordLayout.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

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
    EXPECT_TRUE(testsupport::HoldsLayout(
        bytes, {
                   {"isHidden", 0, 4, 1},
                   {"isDirectory", 4, 4, 0},
                   // The status record starts here, little-endian.
                   {"status.creationTime", 8, 4, 0x01020304},
                   {"status.creationTime's low byte", 8, 1, 0x04},
                   {"status.size", 8 + 12, 4, 1234},
                   {"status.attribute", 8 + 16, 1, 0x22},
                   {"status.fullPath", 8 + 18, 260, "/share/.hidden"},
                   {"statusResult", 288, 4, 1},
                   {"infoA.displayName", 292 + 12, 260, "small"},
                   {"infoB.displayName", 644 + 12, 260, "plain"},
                   {"infoB.typeName", 644 + 272, 80, "Plain text document"},
                   {"infoB.attributes", 644 + 8, 4, 0x20000000},
                   {"infoC.displayName", 996 + 12, 260, "open"},
                   {"isDots", 1348, 4, 0},
                   {"hasSubdirectories", 1352, 4, 7},
                   {"infoResultB", 1356, 4, 21}, // B's result comes first
                   {"infoResultA", 1360, 4, 22},
                   {"infoResultC", 1364, 4, 23},
                   {"path", 1368, 260, "/share/.hidden"},
                   // Everything after the path's text is zero filler, nothing
                   // of the old bytes.
                   {"path's filler", 1368 + 14, kNfsListingEntrySize - (1368 + 14),
                    testsupport::ZeroFilled{}},
               }));

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
    EXPECT_TRUE(testsupport::HoldsLayout(
        bytes, {
                   {"first text", 0, 155, std::string(150, 'n')},
                   {"first text's filler", 150, 5, testsupport::ZeroFilled{}},
                   {"second text", 155, 155, "Unimplemented"},
                   {"third text", 310, 155, "Unimplemented"},
                   {"last byte", kNfsMachineDescriptionSize - 1, 1, 0},
               }));

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
