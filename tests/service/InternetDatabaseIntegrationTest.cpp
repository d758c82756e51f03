#include "bridge/CStdExcept.h"
#include "service/InternetDatabase.h"
#include "service/WatchInternetDatabase.h"
#include "support/HalvdirServer.h"
#include "support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>

namespace {

using namespace std::chrono_literals;

int RefusalOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CStdExcept& refusal) {
        EXPECT_EQ(refusal.Unit(), "InternetDatabase");
        return refusal.Number();
    }
    return 0;
}

// The bundled directory on a free loopback port with a database of its own.
class InternetDatabaseIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_directory.Started()) << m_directory.Output();
        m_session.SetTimeLimits(3000ms, 5000ms);
    }

    std::string Host() const { return m_directory.Host(); }

    // Publishes a system message on the directory's database.
    void Publish(const std::string& title, const std::string& text,
                 std::optional<int> tos = std::nullopt) {
        const auto published = m_directory.SystemMessage(title, text, tos);
        ASSERT_EQ(published.code, 0) << published.output;
    }

    testsupport::HalvdirServer m_directory{{"--threads", "4"}};
    InternetSession m_session{[] { return std::string("127.0.0.1"); }};
};

TEST_F(InternetDatabaseIntegrationTest, ProfilesWithAwkwardTextsSurviveTheRoundTrip) {
    InternetDatabase directory(m_session, Host());
    std::int32_t ann = directory.RegisterNewID();
    std::int32_t bob = directory.RegisterNewID();
    EXPECT_EQ(ann, 1);
    EXPECT_EQ(bob, 2);

    const std::string name = "Ann+Lee & Co #1 100% sure";
    const std::string password = "p&ss+w#rd% x";
    directory.UpdateProfile(ann, name, "Ann+Box@Example.org", password);
    DirectoryProfile profile = directory.LookupProfile(ann);
    EXPECT_EQ(profile.name, name);
    EXPECT_EQ(profile.eMail, "ann+box@example.org");

    EXPECT_TRUE(directory.CheckPassword(ann, password));
    EXPECT_FALSE(directory.CheckPassword(ann, "p&ss"));
    EXPECT_FALSE(directory.CheckPassword(bob, password));
    EXPECT_EQ(directory.LookupID("ANN+box@example.org"), ann);
    EXPECT_EQ(directory.LookupID("nobody@example.org"), -1);

    // A later change needs the same password; the address may not be taken twice.
    EXPECT_EQ(RefusalOf([&] { directory.UpdateProfile(ann, "Ann", "ann@x.org", "wrong"); }), 88);
    EXPECT_EQ(RefusalOf([&] { directory.UpdateProfile(bob, "Bob", "ann+box@example.org", "b"); }),
              88);
    directory.UpdateProfile(ann, "Ann Lee", "ann@example.org", password);
    EXPECT_EQ(directory.LookupProfile(ann).name, "Ann Lee");

    // Never stored, or unknown: no profile lines.
    EXPECT_EQ(RefusalOf([&] { directory.LookupProfile(bob); }), 229);
    EXPECT_EQ(RefusalOf([&] { directory.LookupProfile(99); }), 229);
    // A name over the directory's limit is refused with status 400.
    EXPECT_EQ(
        RefusalOf([&] { directory.UpdateProfile(bob, std::string(300, 'n'), "b@x.org", "b"); }),
        66);
}

TEST_F(InternetDatabaseIntegrationTest, AddressesNoticesAndRandomPools) {
    InternetDatabase directory(m_session, Host());
    std::int32_t ann = directory.RegisterNewID();
    std::int32_t bob = directory.RegisterNewID();

    EXPECT_EQ(directory.LookupIP(ann), "0.0.0.0");
    directory.UpdateIP(ann, "127.0.0.5");
    EXPECT_EQ(directory.LookupIP(ann), "127.0.0.5");
    // An unknown ID is answered with a result line, which the query accepts.
    directory.UpdateIP(0, "127.0.0.5");
    EXPECT_EQ(RefusalOf([&] { directory.UpdateIP(ann, "1.2.3"); }), 907);

    EXPECT_TRUE(directory.LookupAcquaintances(bob).empty());
    directory.RegisterAsAcquaintance(bob, ann);
    directory.RegisterAsAcquaintance(bob, ann); // 109: already waiting
    EXPECT_EQ(directory.LookupAcquaintances(bob), (std::vector<std::int32_t>{ann}));
    EXPECT_EQ(RefusalOf([&] { directory.RegisterAsAcquaintance(ann, ann); }), 156);
    EXPECT_EQ(RefusalOf([&] { directory.RegisterAsAcquaintance(77, ann); }), 156);
    directory.DeleteAcquaintances(bob);
    EXPECT_TRUE(directory.LookupAcquaintances(bob).empty());

    EXPECT_EQ(directory.GetRandomIP(155), "0.0.0.0");
    directory.InsertRandomIP(155, "127.0.0.5");
    EXPECT_EQ(directory.GetRandomIP(155), "127.0.0.5");
    EXPECT_EQ(RefusalOf([&] { directory.InsertRandomIP(155, "0.0.0.0"); }), 1195);
    directory.RemoveRandomIP(155, "127.0.0.5");
    directory.RemoveRandomIP(155, "127.0.0.5"); // Result: 0 is success too
    EXPECT_EQ(directory.GetRandomIP(155), "0.0.0.0");
}

TEST_F(InternetDatabaseIntegrationTest, OnlyTheOwnerMovesAClaimedAddress) {
    InternetDatabase directory(m_session, Host());
    std::int32_t ann = directory.RegisterNewID();
    // Before its profile is stored a new ID publishes without a password.
    directory.UpdateIP(ann, "127.0.0.5");
    directory.UpdateProfile(ann, "Ann", "ann@example.org", "Top Secret+1");
    // Refusals are result lines, so the queries return; the address stays.
    directory.UpdateIP(ann, "127.0.0.66");
    directory.UpdateIP(ann, "127.0.0.66", "Top Secret");
    EXPECT_EQ(directory.LookupIP(ann), "127.0.0.5");
    directory.UpdateIP(ann, "127.0.0.6", "TOP SECRET+1");
    EXPECT_EQ(directory.LookupIP(ann), "127.0.0.6");
    directory.UpdateIP(ann, "0.0.0.0", "top secret+1");
    EXPECT_EQ(directory.LookupIP(ann), "0.0.0.0");
}

TEST_F(InternetDatabaseIntegrationTest, SystemMessagesAndInvitations) {
    InternetDatabase directory(m_session, Host());
    SystemMessageTimes none = directory.GetSystemMessageTime(155);
    EXPECT_EQ(none.general, 0);
    EXPECT_EQ(none.particular, 0);
    EXPECT_EQ(RefusalOf([&] { directory.GetSystemMessage(0); }), 709);

    Publish("Welcome", "line one\nline two");
    Publish("For Drovick", "only here", 155);
    SystemMessageTimes times = directory.GetSystemMessageTime(155);
    EXPECT_GE(times.general, 100);
    EXPECT_GE(times.particular, 100);
    EXPECT_EQ(directory.GetSystemMessageTime(7).particular, 0);

    SystemMessage general = directory.GetSystemMessage(0);
    EXPECT_EQ(general.title, "Welcome");
    EXPECT_EQ(general.text, "line one\nline two");
    SystemMessage particular = directory.GetSystemMessage(155);
    EXPECT_EQ(particular.title, "For Drovick");
    EXPECT_EQ(particular.text, "only here");

    directory.SendInvitationMail("ann@example.org", "bob@example.org", "Drovick", "Ann + Lee",
                                 "http://example.org/get?x=1&y=2", 155);
    EXPECT_EQ(RefusalOf([&] {
                  directory.SendInvitationMail("not an address", "bob@example.org", "Drovick",
                                               "Ann", "http://example.org", 155);
              }),
              805);
    const auto outbox = m_directory.Admin({"outbox"});
    ASSERT_EQ(outbox.code, 0);
    EXPECT_NE(outbox.output.find("Ann + Lee"), std::string::npos) << outbox.output;
    EXPECT_NE(outbox.output.find("http://example.org/get?x=1&y=2"), std::string::npos);
}

TEST_F(InternetDatabaseIntegrationTest, WatchedSessionReachesTheDirectory) {
    WatchInternetDatabase watch(Host());
    EXPECT_THROW(watch.RegisterNewID(), CStdExcept);
    auto session = std::make_shared<InternetSession>([] { return std::string("127.0.0.1"); });
    watch.SetSession(session, Host());
    std::int32_t id = watch.RegisterNewID();
    watch.UpdateProfile(id, "Cy", "cy@example.org", "pw");
    EXPECT_EQ(watch.LookupID("cy@example.org"), id);

    // A directory that has gone away: the exchange fails.
    m_directory.Kill();
    try {
        watch.LookupID("cy@example.org");
        ADD_FAILURE() << "a stopped directory answered";
    } catch (const CStdExcept& refusal) {
        EXPECT_EQ(refusal.Number(), 477);
    }
}

} // namespace
