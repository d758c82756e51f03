#include "service/ContactListCodec.h"

#include "platform/ByteOrder.h"
#include "service/Contacts.h"
#include "support/RecordLayout.h"

#include <gtest/gtest.h>
#include <random>

namespace {

std::shared_ptr<InternetID> MakeID(std::int32_t id, const std::string& name, bool own = false) {
    auto internetId = std::make_shared<InternetID>(id, 500);
    internetId->SetName(name);
    internetId->SetEMail(name + "@example.org");
    if (own) {
        internetId->SetOwn(true);
        internetId->SetPassword("pw");
    }
    return internetId;
}

// Two acquaintances, then three friends with the own entry in the middle.
std::vector<std::uint8_t> SampleLists() {
    std::vector<std::shared_ptr<InternetID>> acquaintances{MakeID(11, "a"), MakeID(12, "b")};
    std::vector<std::shared_ptr<InternetID>> friends{MakeID(21, "c"), MakeID(500, "me", true),
                                                     MakeID(23, "d")};
    return ContactListCodec::Encode(acquaintances, friends);
}

TEST(ContactListCodecTest, LayoutIsCountsThenLengthPrefixedRecords) {
    std::vector<std::uint8_t> bytes = SampleLists();
    ASSERT_EQ(bytes.size(), 8u + 5 * (4 + 524));
    // Each record is its length and the 524 bytes of the identity.
    constexpr std::size_t kRecord = 4 + 524;
    EXPECT_TRUE(
        testsupport::HoldsLayout(bytes, {
                                            {"acquaintance count", 0, 4, 2},
                                            {"friend count", 4, 4, 3},
                                            {"first acquaintance's length", 8, 4, 524},
                                            {"second acquaintance's length", 8 + kRecord, 4, 524},
                                            {"first friend's length", 8 + 2 * kRecord, 4, 524},
                                            {"second friend's length", 8 + 3 * kRecord, 4, 524},
                                            {"third friend's length", 8 + 4 * kRecord, 4, 524},
                                            // The own entry is the second friend: fourth record,
                                            // own flag at its end.
                                            {"own entry's id", 8 + 3 * kRecord + 4, 4, 500},
                                            {"own entry's flag", 8 + 3 * kRecord + 4 + 520, 4, 1},
                                        }));

    EXPECT_EQ(ContactListCodec::Encode({}, {}),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ContactListCodecTest, LoadedListsSaveToTheSameBytes) {
    std::vector<std::uint8_t> bytes = SampleLists();
    auto contacts = Contacts::Load(bytes);
    ASSERT_NE(contacts, nullptr);
    EXPECT_EQ(contacts->Serialize(), bytes);

    ASSERT_EQ(contacts->AcquaintanceCount(), 2u);
    ASSERT_EQ(contacts->FriendCount(), 3u);
    EXPECT_EQ(contacts->AcquaintanceAt(1)->Internet()->Name(), "b");
    EXPECT_EQ(contacts->OwnEntry()->ID(), 500);
    EXPECT_EQ(contacts->OwnEntry()->Internet()->Password(), "pw");
    EXPECT_EQ(contacts->OtherContacts().size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        auto entry = contacts->FriendAt(i);
        EXPECT_EQ(entry->State(), Acquaintance::kStateMade);
        EXPECT_FALSE(entry->IsOnline());
        EXPECT_EQ(entry->IP(), "0.0.0.0");
        EXPECT_EQ(entry->NumActiveTOS(), 0);
        EXPECT_TRUE(entry->IsListed());
    }

    // Moving a contact changes the groups, not the records.
    contacts->MoveToFriends(11);
    auto moved = contacts->Serialize();
    EXPECT_EQ(platform::LoadLE32s(moved.data()), 1);
    EXPECT_EQ(platform::LoadLE32s(moved.data() + 4), 4);
    EXPECT_TRUE(std::equal(bytes.begin() + 8, bytes.begin() + 8 + 528, moved.end() - 528));
}

TEST(ContactListCodecTest, MalformedListsAreUnreadable) {
    std::vector<std::uint8_t> bytes = SampleLists();

    // Cut anywhere short of the end.
    for (std::size_t size = 0; size < bytes.size(); ++size)
        EXPECT_FALSE(ContactListCodec::Decode({bytes.data(), size})) << size;
    // Anything after the last record.
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(ContactListCodec::Decode(longer));

    auto patched = [&](std::size_t offset, std::int32_t value) {
        auto copy = bytes;
        platform::StoreLE32s(copy.data() + offset, value);
        return copy;
    };
    EXPECT_FALSE(ContactListCodec::Decode(patched(0, -1)));
    EXPECT_FALSE(ContactListCodec::Decode(patched(4, -1)));
    // Counts far beyond the bytes present, also when their sum overflows 32 bits.
    EXPECT_FALSE(ContactListCodec::Decode(patched(0, 0x7fffffff)));
    auto both = patched(0, 0x7fffffff);
    platform::StoreLE32s(both.data() + 4, 0x7fffffff);
    EXPECT_FALSE(ContactListCodec::Decode(both));
    // Counts that shift records between the groups but not their total: readable.
    auto moved = patched(0, 3);
    platform::StoreLE32s(moved.data() + 4, 2);
    auto shifted = ContactListCodec::Decode(moved);
    ASSERT_TRUE(shifted);
    EXPECT_EQ(shifted->acquaintances.size(), 3u);
    EXPECT_EQ(shifted->friends.size(), 2u);
    EXPECT_FALSE(ContactListCodec::Decode(patched(0, 3)));
    EXPECT_FALSE(ContactListCodec::Decode(patched(4, 2)));
    // A record length other than 524, shorter or longer.
    EXPECT_FALSE(ContactListCodec::Decode(patched(8, 523)));
    EXPECT_FALSE(ContactListCodec::Decode(patched(8 + 528, 525)));
    EXPECT_FALSE(ContactListCodec::Decode(patched(8 + 4 * 528, 0)));
    EXPECT_EQ(Contacts::Load(patched(8, 1000)), nullptr);
}

TEST(ContactListCodecTest, GarbledListsNeverCrashAndWhatLoadsSavesStably) {
    std::vector<std::uint8_t> bytes = SampleLists();
    std::mt19937 random(20261208);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        auto garbled = bytes;
        int flips = 1 + int(random() % 8);
        for (int i = 0; i < flips; ++i)
            garbled[random() % garbled.size()] = static_cast<std::uint8_t>(random());
        if (round % 3 == 0)
            garbled.resize(random() % (garbled.size() + 1));
        auto contacts = Contacts::Load(garbled);
        if (!contacts)
            continue;
        ++accepted;
        // Once read, the lists write and read back to the same bytes.
        auto saved = contacts->Serialize();
        auto again = Contacts::Load(saved);
        ASSERT_NE(again, nullptr);
        ASSERT_EQ(again->Serialize(), saved);
    }
    // Flips inside the texts leave the lists readable: the loop exercised both.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 3000);
}

} // namespace
