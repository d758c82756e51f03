#include "service/InternetID.h"

#include "platform/ByteOrder.h"
#include "support/RecordLayout.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(InternetIDTest, PersistsItsFieldsAtTheirOffsetsAndNotTheAddress) {
    InternetID id(1234, 99);
    id.SetName("Ann Example");
    id.SetEMail("Ann@Example.ORG");
    id.SetPassword("Secret");
    id.SetOwn(true);
    id.SetIP("192.168.7.9");

    auto bytes = id.Encode();
    EXPECT_TRUE(testsupport::HoldsLayout(bytes, {
                                                    {"id", 0, 4, 1234},
                                                    {"ownerId", 4, 4, 99},
                                                    {"name", 8, 256, "Ann Example"},
                                                    {"eMail", 264, 128, "ann@example.org"},
                                                    {"password", 392, 128, "Secret"},
                                                    {"own", 520, 4, 1},
                                                    // Every byte after a text's end is NUL,
                                                    // so nothing else (no address) leaks in.
                                                    {"name's terminator", 8 + 11, 1, 0},
                                                    {"name's last byte", 255 + 8, 1, 0},
                                                }));

    InternetID back;
    ASSERT_TRUE(InternetID::Decode(bytes, back));
    EXPECT_EQ(back.ID(), 1234);
    EXPECT_EQ(back.OwnerID(), 99);
    EXPECT_EQ(back.Name(), "Ann Example");
    EXPECT_EQ(back.EMail(), "ann@example.org");
    EXPECT_EQ(back.Password(), "Secret");
    EXPECT_TRUE(back.IsOwn());
    EXPECT_EQ(back.IP(), "0.0.0.0");
    EXPECT_EQ(back.Encode(), bytes);
}

TEST(InternetIDTest, DecodeTerminatesFullFieldsAndLowerCasesTheEMail) {
    std::array<std::uint8_t, InternetID::kPersistedSize> bytes{};
    platform::StoreLE32s(bytes.data(), 7);
    std::fill(bytes.begin() + 8, bytes.begin() + 264, std::uint8_t('N'));
    std::fill(bytes.begin() + 264, bytes.begin() + 392, std::uint8_t('E'));
    std::fill(bytes.begin() + 392, bytes.begin() + 520, std::uint8_t('p'));
    platform::StoreLE32s(bytes.data() + 520, 17);

    InternetID id;
    ASSERT_TRUE(InternetID::Decode(bytes, id));
    EXPECT_EQ(id.Name(), std::string(255, 'N'));
    EXPECT_EQ(id.EMail(), std::string(127, 'e'));
    EXPECT_EQ(id.Password(), std::string(127, 'p'));
    EXPECT_TRUE(id.IsOwn());

    // Once read, it writes back as a well-formed record that reads the same.
    auto again = id.Encode();
    EXPECT_EQ(again[263], 0);
    EXPECT_EQ(platform::LoadLE32s(again.data() + 520), 1);
    InternetID reread;
    ASSERT_TRUE(InternetID::Decode(again, reread));
    EXPECT_EQ(reread.Encode(), again);

    std::span<const std::uint8_t> cut(bytes.data(), bytes.size() - 1);
    InternetID untouched(5, 5);
    EXPECT_FALSE(InternetID::Decode(cut, untouched));
    EXPECT_EQ(untouched.ID(), 5);
}

TEST(InternetIDTest, SettersCutTextsToTheirFieldsAndRefuseNonAddresses) {
    InternetID id;
    EXPECT_EQ(id.ID(), -1);
    id.SetName(std::string(300, 'x'));
    id.SetEMail(std::string(200, 'Y'));
    id.SetPassword(std::string(128, 'z'));
    EXPECT_EQ(id.Name().size(), 255u);
    EXPECT_EQ(id.EMail(), std::string(127, 'y'));
    EXPECT_EQ(id.Password().size(), 127u);

    id.SetIP("10.0.0.1");
    EXPECT_EQ(id.IP(), "10.0.0.1");
    id.SetIP("10.0.0.1.5");
    EXPECT_EQ(id.IP(), "0.0.0.0");
    id.SetIP("host.example");
    EXPECT_EQ(id.IP(), "0.0.0.0");
}

} // namespace
