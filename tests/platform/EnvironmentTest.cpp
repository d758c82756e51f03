#include "platform/Environment.h"
#include "platform/IPv4Text.h"

#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

// Every program reads the environment through these calls, so a stray blank
// means the same everywhere.
TEST(EnvironmentTest, OneRuleForEveryVariable) {
    testsupport::ScopedEnvironment environment;
    environment.Set("HALVARA_ADDRESS", " 127.0.0.7\t");
    environment.Set("HALVARA_DIRECTORY", "  ");
    environment.Set("HALVARA_LIVE_CHECK_INTERVAL_MS", " 250 ");
    environment.Set("XDG_CONFIG_HOME", "relative/config");
    environment.Set("HOME", "/home/ann ");
    EXPECT_EQ(platform::ConfiguredAddress(), "127.0.0.7");
    EXPECT_EQ(platform::DirectoryHost(), platform::kDefaultDirectoryHost);
    EXPECT_EQ(platform::EnvironmentMilliseconds("HALVARA_LIVE_CHECK_INTERVAL_MS", 60000, 10, 3600000),
              250);
    EXPECT_EQ(platform::EnvironmentMilliseconds("HALVARA_LIVE_CHECK_INTERVAL_MS", 60000, 300, 900),
              60000);
    EXPECT_EQ(platform::ConfigHome(), "/home/ann/.config") << "a relative folder is ignored";
}

TEST(IPv4TextTest, DottedQuadsOnly) {
    for (const char* good : {"0.0.0.0", "127.0.0.1", "255.255.255.255", "010.1.1.1"})
        EXPECT_TRUE(platform::IsDottedQuad(good)) << good;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "256.1.1.1", "1.2.3.4 ", "1..2.3", "0x1.2.3.4",
                            "1234.1.1.1", "a.b.c.d"})
        EXPECT_FALSE(platform::IsDottedQuad(bad)) << bad;
    EXPECT_EQ(platform::DottedQuad({192, 168, 0, 255}), "192.168.0.255");
    EXPECT_EQ(platform::DottedQuadOfNetworkOrder(htonl(0x7F000001)), "127.0.0.1");
}

} // namespace
