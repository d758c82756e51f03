// The own entry's address reaches the directory with the own entry's password.

#include "FakeContactNetwork.h"
#include "service/Contacts.h"

#include <gtest/gtest.h>

namespace {

TEST(InternetDatabaseOwnEntryTest, PublishingTheOwnAddressCarriesTheOwnPassword) {
    FakeDirectory directory;
    auto contacts = Contacts::Fresh();
    auto own = contacts->OwnEntry();
    own->Internet()->SetID(31);
    own->Internet()->SetOwnerID(31);

    // A new identity without a stored profile has no password yet.
    Friend::PublishOwnIP(own, directory);
    own->Internet()->SetPassword("Mixed Case");
    Friend::PublishOwnIP(own, directory);
    EXPECT_EQ(Friend::OwnPassword(own), "mixed case");
    EXPECT_EQ(Friend::OwnPassword(nullptr), "");

    // Claiming another ID with its checked password: the entry keeps that
    // password, and the address goes out with it under the new ID.
    Friend::AdoptID(own, 808, "Claimed", directory);
    EXPECT_EQ(own->Internet()->Password(), "Claimed");

    ASSERT_EQ(directory.updateIPs.size(), 3u);
    ASSERT_EQ(directory.updateIPPasswords.size(), 3u);
    EXPECT_EQ(directory.updateIPs[0], std::make_pair(31, std::string("10.1.1.1")));
    EXPECT_EQ(directory.updateIPPasswords[0], "");
    EXPECT_EQ(directory.updateIPPasswords[1], "mixed case");
    EXPECT_EQ(directory.updateIPs[2], std::make_pair(808, std::string("10.1.1.1")));
    EXPECT_EQ(directory.updateIPPasswords[2], "claimed");

    // A stranger's entry neither adopts the ID nor takes the password.
    auto stranger = std::make_shared<Acquaintance>();
    EXPECT_THROW(Friend::AdoptID(stranger, 9, "x", directory), CStdExcept);
    EXPECT_NE(stranger->Internet() ? stranger->Internet()->Password() : "", "x");
}

} // namespace
