#include "app/peer/wire/PeerWire.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PeerWire, IntegersAreLittleEndianAndRefuseShortBuffers) {
    auto code = EncodeInt32(0x710);
    EXPECT_EQ(Bytes(code.begin(), code.end()), (Bytes{0x10, 0x07, 0x00, 0x00}));
    auto minusOne = EncodeInt32(-1);
    EXPECT_EQ(Bytes(minusOne.begin(), minusOne.end()), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));

    for (std::int32_t value : {0, 1, 1000, -1, 0x7FFFFFFF, std::int32_t(0x80000000), 0x12345678}) {
        auto bytes = EncodeInt32(value);
        std::int32_t back = 0;
        ASSERT_TRUE(DecodeInt32(bytes, back));
        EXPECT_EQ(back, value);
    }
    std::int32_t untouched = 42;
    Bytes three{1, 2, 3};
    EXPECT_FALSE(DecodeInt32(three, untouched));
    EXPECT_FALSE(DecodeInt32({}, untouched));
    EXPECT_EQ(untouched, 42);
    // Only the first four bytes count.
    Bytes five{1, 0, 0, 0, 9};
    ASSERT_TRUE(DecodeInt32(five, untouched));
    EXPECT_EQ(untouched, 1);
}

TEST(PeerWire, TextFieldsAreZeroFilledCutAndTerminated) {
    auto field = EncodeTextField("abc", kPathFieldWidth);
    ASSERT_EQ(field.size(), kPathFieldWidth);
    EXPECT_EQ(field[0], 'a');
    EXPECT_EQ(field[2], 'c');
    EXPECT_TRUE(std::all_of(field.begin() + 3, field.end(), [](std::uint8_t b) { return b == 0; }));
    std::string text;
    ASSERT_TRUE(DecodeTextField(field, kPathFieldWidth, text));
    EXPECT_EQ(text, "abc");

    // 511 characters arrive whole; 600 arrive as their first 511.
    std::string longest(511, 'x');
    ASSERT_TRUE(DecodeTextField(EncodeTextField(longest, kPathFieldWidth), kPathFieldWidth, text));
    EXPECT_EQ(text, longest);
    std::string tooLong = std::string(511, 'y') + std::string(89, 'z');
    auto cut = EncodeTextField(tooLong, kPathFieldWidth);
    EXPECT_EQ(cut.back(), 0);
    ASSERT_TRUE(DecodeTextField(cut, kPathFieldWidth, text));
    EXPECT_EQ(text, std::string(511, 'y'));

    // The receiver stops at the first zero byte and ignores what follows it.
    Bytes withTail = EncodeTextField("one", kResponderNameWidth);
    withTail[10] = 'Q';
    ASSERT_TRUE(DecodeTextField(withTail, kResponderNameWidth, text));
    EXPECT_EQ(text, "one");

    // A forwarded query may fill its field without a zero byte: the text is the
    // whole field and nothing past it.
    Bytes full(kSearchQueryWidth + 8, 'q');
    ASSERT_TRUE(DecodeTextField(full, kSearchQueryWidth, text));
    EXPECT_EQ(text, std::string(kSearchQueryWidth, 'q'));

    // A field shorter than its width is refused and the text left alone.
    text = "before";
    Bytes shortField(kResultEntryWidth - 1, 'a');
    EXPECT_FALSE(DecodeTextField(shortField, kResultEntryWidth, text));
    EXPECT_EQ(text, "before");
}

TEST(PeerWire, AddressesTravelAsFourBytesInDottedOrder) {
    auto bytes = AddressBytes("192.168.1.20");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(Bytes(bytes->begin(), bytes->end()), (Bytes{192, 168, 1, 20}));
    EXPECT_EQ(DottedAddress(*bytes), "192.168.1.20");
    std::array<std::uint8_t, 4> zero{};
    EXPECT_EQ(DottedAddress(zero), "0.0.0.0");
    for (std::string_view bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d",
                                 "1.2.3.4 ", "0001.2.3.4", "-1.2.3.4"})
        EXPECT_FALSE(AddressBytes(bad)) << bad;
}

} // namespace
