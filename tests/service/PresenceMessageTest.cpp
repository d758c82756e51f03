#include "service/PresenceMessage.h"

#include "bridge/CStdExcept.h"

#include <gtest/gtest.h>
#include <vector>

using namespace presence;

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

TEST(PresenceMessageTest, RequestHeaderLayoutIsLittleEndianWithVersionByte) {
    auto bytes = Header::Request(kTOSQuery, 0x01020304, -1).Encode();
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()),
              Bytes({0x7A, 0x22, 0x96, 0x10, 1, 0, 0,    0,    13,   0,
                     0,    0,    4,    3,    2, 1, 0xFF, 0xFF, 0xFF, 0xFF}));
    auto reply = Header::Reply(kKnownQuery).Encode();
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin(), reply.end()),
              Bytes({0x8E, 0xF6, 0x56, 0x31, 0, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    auto refusal = Header::Decode(Header::Refusal().Encode());
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->magic, kRequestMagic);
    EXPECT_EQ(refusal->version, 1);
    EXPECT_EQ(refusal->calleeId, -1);
    EXPECT_TRUE(refusal->IsRefusal());
}

TEST(PresenceMessageTest, DecodeNeedsAWholeHeaderAndRoundTrips) {
    auto bytes = Header::Request(kTOSNotice, 77, 88).Encode();
    EXPECT_FALSE(Header::Decode(std::span(bytes.data(), 19)));
    auto header = Header::Decode(bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, kTOSNotice);
    EXPECT_EQ(header->calleeId, 77);
    EXPECT_EQ(header->callerId, 88);
    EXPECT_TRUE(Header::Reply(kTOSNotice).IsReplyTo(kTOSNotice));
    EXPECT_FALSE(Header::Reply(kTOSNotice).IsReplyTo(kTOSQuery));
    // A request echoed back is no acknowledgement.
    EXPECT_FALSE(Header::Request(kTOSNotice, 0, 0).IsReplyTo(kTOSNotice));
}

TEST(PresenceMessageTest, ListenerVerdicts) {
    using V = Header::Verdict;
    EXPECT_EQ(Header::Request(kTOSQuery, 42, 7).Check(42), V::kAccept);
    EXPECT_EQ(Header::Request(kTOSQuery, 43, 7).Check(42), V::kRefuse);
    EXPECT_EQ(Header::Request(kAnonTOSQuery, 12345, -1).Check(42), V::kAccept);
    EXPECT_EQ(Header::Request(30, 42, 7).Check(42), V::kUnknownType);
    EXPECT_EQ(Header::Request(10, 42, 7).Check(42), V::kUnknownType);
    // The callee is checked before the type.
    EXPECT_EQ(Header::Request(30, 43, 7).Check(42), V::kRefuse);
    Header wrongVersion = Header::Request(kTOSQuery, 42, 7);
    wrongVersion.version = 2;
    EXPECT_EQ(wrongVersion.Check(42), V::kRefuse);
    Header replyMagic = Header::Request(kTOSQuery, 42, 7);
    replyMagic.magic = kReplyMagic;
    EXPECT_EQ(replyMagic.Check(42), V::kDrop);
    Header otherMagic = Header::Request(kAnonTOSQuery, 42, 7);
    otherMagic.magic = 0x7A229610;
    EXPECT_EQ(otherMagic.Check(42), V::kDrop);
}

TEST(PresenceMessageTest, WordPayloadsRoundTrip) {
    for (std::int32_t value : {0, 1, -1, 155, INT32_MIN, INT32_MAX}) {
        auto bytes = EncodeInt32(value);
        EXPECT_EQ(DecodeInt32(bytes), value);
    }
    EXPECT_FALSE(DecodeInt32(std::span(EncodeInt32(5).data(), 3)));
}

TEST(PresenceMessageTest, AddressTravelsFirstOctetFirst) {
    auto bytes = EncodeAddress("192.168.1.5");
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), Bytes({192, 168, 1, 5}));
    EXPECT_EQ(DecodeAddress(bytes), "192.168.1.5");
    EXPECT_EQ(DecodeAddress(EncodeAddress("0.0.0.0")), "0.0.0.0");
    EXPECT_FALSE(DecodeAddress(std::span(bytes.data(), 3)));
    EXPECT_THROW(EncodeAddress("10.0.1"), CStdExcept);
}

TEST(PresenceMessageTest, TOSNoticeRoundTripsAndRejectsOtherFlags) {
    for (bool on : {true, false}) {
        auto decoded = DecodeTOSNotice(EncodeTOSNotice({155, on}));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->tos, 155);
        EXPECT_EQ(decoded->on, on);
    }
    auto bytes = EncodeTOSNotice({155, true});
    bytes[4] = 2;
    EXPECT_FALSE(DecodeTOSNotice(bytes));
    EXPECT_FALSE(DecodeTOSNotice(std::span(EncodeTOSNotice({1, true}).data(), 7)));
}

TEST(PresenceMessageTest, ProfileRecordKeepsFieldsTerminatedAndSendsNoPassword) {
    auto bytes = EncodeProfile({"Ada Example", "ada@example.org"});
    EXPECT_EQ(bytes[256], 'a');
    for (std::size_t i = 384; i < kProfileSize; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    auto decoded = DecodeProfile(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->name, "Ada Example");
    EXPECT_EQ(decoded->eMail, "ada@example.org");

    // A name longer than its field is cut to 255 characters, and a received
    // record without any NUL is read only within each field.
    auto cut = DecodeProfile(EncodeProfile({std::string(400, 'n'), "e"}));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->name.size(), 255u);
    std::array<std::uint8_t, kProfileSize> unterminated;
    unterminated.fill('x');
    auto hostile = DecodeProfile(unterminated);
    ASSERT_TRUE(hostile);
    EXPECT_EQ(hostile->name.size(), 256u);
    EXPECT_EQ(hostile->eMail.size(), 128u);
    EXPECT_FALSE(DecodeProfile(std::span(unterminated.data(), kProfileSize - 1)));
}

TEST(PresenceMessageTest, PayloadSizesPerType) {
    EXPECT_EQ(CallerPayloadSize(kAnnounceIP), 4);
    EXPECT_EQ(CallerPayloadSize(kTOSNotice), 8);
    EXPECT_EQ(CallerPayloadSize(kAcquaintanceNotice), 0);
    EXPECT_EQ(ListenerPayloadSize(kProfileRequest), 512);
    EXPECT_EQ(ListenerPayloadSize(kKnownQuery), 4);
    EXPECT_EQ(ListenerPayloadSize(kAnnounceIP), 0);
    for (std::int32_t type = kProfileRequest; type <= kAnonTOSQuery; ++type) {
        EXPECT_TRUE(IsRequestType(type));
        EXPECT_GE(CallerPayloadSize(type), 0);
        EXPECT_GE(ListenerPayloadSize(type), 0);
    }
    EXPECT_FALSE(IsRequestType(kRefusal));
    EXPECT_EQ(CallerPayloadSize(kRefusal), -1);
    EXPECT_EQ(ListenerPayloadSize(20), -1);
}

} // namespace
