#include "service/NetUtilities.h"

#include "bridge/CStdExcept.h"
#include "service/TimedSocket.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using Bytes = std::array<std::uint8_t, 4>;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value)
        : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old, m_had = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

int NumberOf(const std::function<void()>& call, const char* unit) {
    try {
        call();
    } catch (const CStdExcept& refusal) {
        EXPECT_EQ(refusal.Unit(), unit);
        return refusal.Number();
    }
    return 0;
}

TEST(NetUtilitiesTest, AddressTextAndBytes) {
    EXPECT_EQ(ParseAddress("192.168.1.5"), (Bytes{192, 168, 1, 5}));
    // Each number keeps its low byte.
    EXPECT_EQ(ParseAddress("10.0.0.300"), (Bytes{10, 0, 0, 44}));
    EXPECT_EQ(ParseAddress(std::string("1.2.3.4 trailing")), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(NumberOf([] { ParseAddress("10.0.0"); }, "DiversMem"), 26);
    EXPECT_EQ(NumberOf([] { ParseAddress("a.b.c.d"); }, "DiversMem"), 26);
    EXPECT_EQ(NumberOf([] { ParseAddress(""); }, "DiversMem"), 26);
    EXPECT_EQ(NumberOf([] { ParseAddress(static_cast<const char*>(nullptr)); }, "DiversMem"), 20);
    EXPECT_EQ(NumberOf([] { ParseAddress("99999999999999999999.1.1.1"); }, "DiversMem"), 0);

    EXPECT_EQ(FormatAddress({192, 168, 1, 5}), "192.168.1.5");
    EXPECT_EQ(FormatAddress({0, 0, 0, 0}), "0.0.0.0");

    EXPECT_TRUE(IsDottedQuad("127.0.0.2"));
    EXPECT_FALSE(IsDottedQuad("127.0.0.256"));
    EXPECT_FALSE(IsDottedQuad("127.0.0"));
    EXPECT_FALSE(IsDottedQuad("127.0.0.1 "));
    EXPECT_FALSE(IsDottedQuad("1.2.3.4.5"));
}

TEST(NetUtilitiesTest, QueryTextEncodings) {
    EXPECT_EQ(EncodeSpaces("Ann Lee + Co & #1"), "Ann%20Lee%20+%20Co%20&%20#1");
    EXPECT_EQ(EncodeQueryText("Ann Lee+Co&#1%"), "Ann%20Lee%2BCo%26%231%25");
    EXPECT_EQ(EncodeQueryText("Az09-._~"), "Az09-._~");
    EXPECT_EQ(EncodeQueryText(std::string("\x01\xFF\n", 3)), "%01%FF%0A");
    EXPECT_EQ(LowerCase("Ann@Example.ORG"), "ann@example.org");
}

TEST(NetUtilitiesTest, HostsPortsAndProbeList) {
    HostAndPort plain = SplitHostPort("example.org", 80);
    EXPECT_EQ(plain.host, "example.org");
    EXPECT_EQ(plain.port, 80);
    HostAndPort withPort = SplitHostPort(" 127.0.0.1:8080 ", 80);
    EXPECT_EQ(withPort.host, "127.0.0.1");
    EXPECT_EQ(withPort.port, 8080);
    EXPECT_EQ(SplitHostPort("host:99999", 80).port, 80);

    {
        ScopedEnvironment directory("HALVARA_DIRECTORY", nullptr);
        EXPECT_EQ(DirectoryHost(), "127.0.0.1:8080");
        ScopedEnvironment probes("HALVARA_PROBE_HOSTS", nullptr);
        std::vector<std::string> hosts = ProbeHosts();
        ASSERT_EQ(hosts.size(), 4u);
        EXPECT_EQ(hosts[0], "127.0.0.1:8080");
    }
    ScopedEnvironment directory("HALVARA_DIRECTORY", "127.0.0.9:81");
    EXPECT_EQ(DirectoryHost(), "127.0.0.9:81");
    ScopedEnvironment probes("HALVARA_PROBE_HOSTS", "127.0.0.1:1, ,127.0.0.2:2");
    EXPECT_EQ(ProbeHosts(), (std::vector<std::string>{"127.0.0.1:1", "127.0.0.2:2"}));
}

TEST(NetUtilitiesTest, NameLookUpIsBounded) {
    std::uint32_t address = 0;
    ASSERT_TRUE(ResolveIPv4Within("localhost", 5000, address));
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(ResolveIPv4Within("127.0.0.7", 0, address));
    EXPECT_EQ(address, htonl(0x7F000007));
    EXPECT_FALSE(ResolveIPv4Within("", 1000, address));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ResolveIPv4Within("no-such-host.invalid", 300, address));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1300));
}

TEST(NetUtilitiesTest, HostReachableOnlyWhenItAccepts) {
    TimedSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4));
    EXPECT_TRUE(IsHostReachable("127.0.0.1:" + std::to_string(listener.LocalPort())));
    EXPECT_FALSE(IsHostReachable("127.0.0.1:" + std::to_string(testsupport::FreeTcpPort())));
    EXPECT_FALSE(IsHostReachable(""));
}

TEST(NetUtilitiesTest, InternetProbeIsCachedForTwentySeconds) {
    auto now = std::chrono::steady_clock::now();
    std::vector<std::string> tried;
    bool firstAnswers = true;
    ConnectivityCache cache(
        {"first", "second", "third"},
        [&](const std::string& host) {
            tried.push_back(host);
            return host == "third" || (host == "first" && firstAnswers);
        },
        [&] { return now; });

    EXPECT_TRUE(cache.IsInternetReachable());
    EXPECT_EQ(tried, (std::vector<std::string>{"first"}));
    now += std::chrono::seconds(5);
    firstAnswers = false;
    EXPECT_TRUE(cache.IsInternetReachable());
    EXPECT_EQ(cache.ProbeCount(), 1);

    now += std::chrono::seconds(16);
    EXPECT_TRUE(cache.IsInternetReachable());
    EXPECT_EQ(cache.ProbeCount(), 2);
    EXPECT_EQ(tried, (std::vector<std::string>{"first", "first", "second", "third"}));
}

TEST(NetUtilitiesTest, InternetProbeFailsWhenNoHostAnswers) {
    int port = testsupport::FreeTcpPort();
    ConnectivityCache cache({"127.0.0.1:" + std::to_string(port), "", "127.0.0.1:0"});
    EXPECT_FALSE(cache.IsInternetReachable());
    EXPECT_FALSE(cache.IsInternetReachable());
    EXPECT_EQ(cache.ProbeCount(), 1);

    TimedSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4));
    ConnectivityCache live(
        {"127.0.0.1:" + std::to_string(port), "127.0.0.1:" + std::to_string(listener.LocalPort())});
    EXPECT_TRUE(live.IsInternetReachable());
}

TEST(NetUtilitiesTest, LocalAddressFollowsConfigurationAndRoute) {
    AddressSource hasAddress = [] { return std::string("127.0.0.1"); };
    AddressSource noAddress = [] { return std::string("0.0.0.0"); };
    {
        ScopedEnvironment address("HALVARA_ADDRESS", "127.0.0.3");
        EXPECT_EQ(LocalAddressText(hasAddress, "127.0.0.1:8080"), "127.0.0.3");
        EXPECT_EQ(FindLocalAddress("127.0.0.1:8080"), "127.0.0.3");
        EXPECT_EQ(NumberOf([&] { LocalAddressText(noAddress, "127.0.0.1"); }, "DiversInet"), 25);
        EXPECT_EQ(NumberOf([&] { LocalAddressText(nullptr, "127.0.0.1"); }, "DiversInet"), 25);
    }
    {
        ScopedEnvironment address("HALVARA_ADDRESS", "my.host");
        EXPECT_EQ(NumberOf([&] { LocalAddressText(hasAddress, "127.0.0.1"); }, "DiversInet"), 33);
        EXPECT_EQ(FindLocalAddress("127.0.0.1"), "0.0.0.0");
    }
    {
        ScopedEnvironment address("HALVARA_ADDRESS", "0.0.0.0");
        EXPECT_EQ(NumberOf([&] { LocalAddressText(hasAddress, "127.0.0.1"); }, "DiversInet"), 43);
    }
    ScopedEnvironment address("HALVARA_ADDRESS", nullptr);
    // The route towards a directory on loopback leaves from the loopback address.
    EXPECT_EQ(FindLocalAddress("127.0.0.1:8080"), "127.0.0.1");
    EXPECT_EQ(LocalAddressText(hasAddress, "127.0.0.1:8080"), "127.0.0.1");
}

} // namespace
