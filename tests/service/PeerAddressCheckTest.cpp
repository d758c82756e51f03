// What the engine believes of other presence services when the directory
// cannot back a call, and that it asks the directory only when it must.
#include "service/PeerAddressCheck.h"

#include "bridge/CStdExcept.h"

#include <gtest/gtest.h>

namespace {

using peercheck::BelievesAnnouncedAddress;
using peercheck::PlacesStranger;

TEST(PeerAddressCheckTest, ADirectoryThatCannotBeAskedBacksNothing) {
    int asked = 0;
    const peercheck::DirectoryAddress unreachable = [&]() -> std::string {
        ++asked;
        throw CStdExcept("WatchInternetDatabase", 96);
    };
    // Repeating the held address, or going offline, from the address held
    // needs no directory.
    EXPECT_TRUE(BelievesAnnouncedAddress("10.0.0.2", "10.0.0.2", "10.0.0.2", unreachable));
    EXPECT_TRUE(BelievesAnnouncedAddress("0.0.0.0", "10.0.0.2", "10.0.0.2", unreachable));
    EXPECT_EQ(asked, 0);
    // Anything else is not believed, going offline included, and so is a
    // caller announcing its own address in somebody else's name.
    EXPECT_FALSE(BelievesAnnouncedAddress("0.0.0.0", "10.0.0.2", "10.0.0.9", unreachable));
    EXPECT_FALSE(BelievesAnnouncedAddress("10.0.0.3", "10.0.0.2", "10.0.0.9", unreachable));
    EXPECT_FALSE(BelievesAnnouncedAddress("10.0.0.9", "0.0.0.0", "10.0.0.9", unreachable));
    EXPECT_FALSE(PlacesStranger("10.0.0.9", unreachable));
    EXPECT_EQ(asked, 4);

    // A new address the directory holds is believed from wherever it comes.
    const peercheck::DirectoryAddress published = [] { return std::string("10.0.0.7"); };
    EXPECT_TRUE(BelievesAnnouncedAddress("10.0.0.7", "0.0.0.0", "10.0.0.7", published));
    EXPECT_FALSE(BelievesAnnouncedAddress("10.0.0.9", "10.0.0.7", "10.0.0.9", published));

    // The directory's word: offline backs going offline, and places nobody.
    const peercheck::DirectoryAddress offline = [] { return std::string("0.0.0.0"); };
    EXPECT_TRUE(BelievesAnnouncedAddress("0.0.0.0", "10.0.0.2", "10.0.0.9", offline));
    EXPECT_FALSE(BelievesAnnouncedAddress("10.0.0.9", "10.0.0.2", "10.0.0.8", offline));
    EXPECT_FALSE(PlacesStranger("0.0.0.0", offline));
}

} // namespace
