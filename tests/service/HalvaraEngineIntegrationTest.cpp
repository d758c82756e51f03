// The presence engine in this process against the real directory on a loopback
// port, with its registry in a temporary configuration folder.
#include "bridge/CStdExcept.h"
#include "service/Halvara.h"
#include "service/InternetDatabase.h"
#include "service/PresenceCalls.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace std::chrono_literals;
using testsupport::ChildProcess;

namespace {

constexpr const char* kOwnAddress = "127.0.0.1";

class HalvaraEngineIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = testsupport::FreeTcpPort();
        m_server = std::make_unique<ChildProcess>(
            testsupport::BuildBin("halvdir"),
            std::vector<std::string>{"serve", "--listen", Host(), "--db",
                                     (m_dir.Path() / "directory.db").string(), "--threads", "2"});
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return testsupport::CanConnect("127.0.0.1", m_port, 200ms); }, 10s))
            << m_server->Output();
        const std::filesystem::path runtime = m_dir.Path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        Set("XDG_RUNTIME_DIR", runtime.string());
        Set("XDG_CONFIG_HOME", (m_dir.Path() / "config").string());
        Set("HALVARA_DIRECTORY", Host());
        Set("HALVARA_ADDRESS", kOwnAddress);
        m_session.SetTimeLimits(3000ms, 5000ms);
    }

    void TearDown() override {
        for (const auto& [name, value] : m_saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

    void Set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }

    // Another user, known to the directory but not running any service.
    std::int32_t RegisterOtherUser(const std::string& name, const std::string& eMail) {
        InternetDatabase directory(m_session, Host());
        const std::int32_t id = directory.RegisterNewID();
        directory.UpdateProfile(id, name, eMail, "their password");
        return id;
    }

    InternetDatabase Directory() { return InternetDatabase(m_session, Host()); }

    // Publishes a system message: the particular one of that TOS, or the
    // general one without.
    void Publish(const std::vector<std::string>& options, const std::string& title) {
        std::vector<std::string> arguments{"sysmessage", "--db",
                                           (m_dir.Path() / "directory.db").string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {title, "Read this"});
        ChildProcess command(testsupport::BuildBin("halvdir"), arguments);
        ASSERT_EQ(command.Wait(10s), 0) << command.Output();
    }

    testsupport::TempDir m_dir;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_server;
    std::map<std::string, std::optional<std::string>> m_saved;
    InternetSession m_session{[] { return std::string(kOwnAddress); }};
};

template <typename Operation>
int RefusalOf(Operation&& operation) {
    try {
        operation();
    } catch (const CStdExcept& refusal) {
        return refusal.Number();
    }
    return 0;
}

TEST_F(HalvaraEngineIntegrationTest,
       RegistersItsProfileAndKeepsFriendsAcrossIdentitiesAndRestarts) {
    std::int32_t annId = 0;
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    {
        Halvara engine;
        // A first start gets a new ID from the directory and no identity is current.
        annId = engine.GetMyID();
        EXPECT_GT(annId, 0);
        EXPECT_NE(annId, bob);
        EXPECT_FALSE(engine.IsRegistered());
        EXPECT_EQ(engine.GetActiveIdentity(), -1);

        engine.SetMyProfile({"Ann", "Ann@Example.org", "pw"});
        EXPECT_TRUE(engine.IsRegistered());
        EXPECT_EQ(engine.LookupID("ANN@example.org"), annId);
        EXPECT_EQ(engine.LookupProfile(annId).name, "Ann");
        EXPECT_TRUE(engine.CheckPassword(annId, "pw"));
        EXPECT_FALSE(engine.CheckPassword(annId, "nope"));
        // The own entry carries the profile.
        EXPECT_EQ(engine.GetProfile(annId).eMail, "ann@example.org");

        // Bob runs no service, so the acquaintance notice is left at the directory.
        engine.Add(bob, true);
        EXPECT_EQ(engine.GetFriend(0), annId);
        EXPECT_EQ(engine.GetFriend(1), bob);
        EXPECT_EQ(engine.GetProfile(bob).name, "Bob");
        EXPECT_NE(RefusalOf([&] { engine.GetAcquaintance(0); }), 0);
        const auto waiting = Directory().LookupAcquaintances(bob);
        EXPECT_NE(std::find(waiting.begin(), waiting.end(), annId), waiting.end());
        EXPECT_NE(RefusalOf([&] { engine.Add(bob, true); }), 0) << "listed twice";
        EXPECT_NE(RefusalOf([&] { engine.Add(0, false); }), 0);
        EXPECT_NE(RefusalOf([&] { engine.GetProfile(bob + 100); }), 0);

        engine.MoveToAcquaintances(bob);
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        EXPECT_NE(RefusalOf([&] { engine.GetFriend(1); }), 0);
        // Nobody answers at Bob's address: the stored and the live check agree.
        EXPECT_FALSE(engine.IsOnline(bob, -1, 0));
        EXPECT_FALSE(engine.IsOnline(bob, -1, 1));

        // The state so far becomes identity 0's; identity 1 is somebody else.
        EXPECT_EQ(engine.AddIdentity("Ann", "Secret"), 0);
        EXPECT_EQ(engine.AddIdentity("Cy", "Other"), 1);
        EXPECT_EQ(engine.GetHighestIdentity(), 1);
        engine.FlushData();
        engine.SetIdentity(0, "secret");
        EXPECT_EQ(engine.GetActiveIdentity(), 0);
        EXPECT_EQ(engine.GetMyID(), annId);
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        engine.SetMyProfile({"Ann", "Ann@Example.org", "pw"});
        EXPECT_TRUE(engine.IsIdentityTaken("ANN@example.org"));

        EXPECT_NE(RefusalOf([&] { engine.SetIdentity(1, "wrong"); }), 0);
        EXPECT_EQ(engine.GetActiveIdentity(), 0);
        EXPECT_EQ(engine.GetMyID(), annId);

        engine.SetIdentity(1, "OTHER");
        EXPECT_EQ(engine.GetActiveIdentity(), 1);
        const std::int32_t cyId = engine.GetMyID();
        EXPECT_GT(cyId, 0);
        EXPECT_NE(cyId, annId);
        EXPECT_NE(RefusalOf([&] { engine.GetAcquaintance(0); }), 0);
        EXPECT_FALSE(engine.IsRegistered());

        engine.SetIdentity(0, "SECRET");
        EXPECT_EQ(engine.GetMyID(), annId);
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        EXPECT_TRUE(engine.IsRegistered());
        engine.FlushData();
        // Changed after the flush: saved when the engine ends.
        engine.MoveToFriends(bob);
    }
    Halvara engine;
    EXPECT_EQ(engine.GetActiveIdentity(), 0);
    EXPECT_EQ(engine.GetMyID(), annId);
    EXPECT_EQ(engine.GetFriend(1), bob);
    EXPECT_TRUE(engine.IsRegistered());
    EXPECT_EQ(engine.GetIdentity(1), "Cy");
    engine.DeleteIdentity(1);
    EXPECT_NE(RefusalOf([&] { engine.GetIdentity(1); }), 0);
    EXPECT_NE(RefusalOf([&] { engine.SetIdentity(1, "other"); }), 0);
}

TEST_F(HalvaraEngineIntegrationTest, AnswersOtherServicesOnItsPeerPortWhileRunning) {
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    std::int32_t annId = 0;
    PresenceCalls calls([] { return std::string(kOwnAddress); });
    {
        Halvara engine;
        annId = engine.GetMyID();
        engine.SetMyProfile({"Ann", "ann@example.org", "pw"});
        engine.UpdateTOS(7, true);
        EXPECT_EQ(engine.NumActiveTOS(), 1);
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms); }, 10s));

        EXPECT_EQ(calls.KnownQuery(kOwnAddress, annId, bob), 0);
        EXPECT_EQ(calls.RequestProfile(kOwnAddress, annId, bob).name, "Ann");
        EXPECT_EQ(calls.AnonTOSQuery(kOwnAddress, 7), 1);
        EXPECT_EQ(calls.AnonTOSQuery(kOwnAddress, 8), 0);
        // A TOS query from a stranger makes it an acquaintance.
        EXPECT_EQ(calls.TOSQuery(kOwnAddress, annId, bob, 7), 1);
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return RefusalOf([&] { engine.GetAcquaintance(0); }) == 0; }, 10s));
        EXPECT_EQ(engine.GetAcquaintance(0), bob);
        EXPECT_EQ(calls.KnownQuery(kOwnAddress, annId, bob), 1);

        // Bob announces where he is and what he runs.
        calls.AnnounceIP(kOwnAddress, annId, bob, "127.0.0.9");
        EXPECT_TRUE(testsupport::WaitFor([&] { return engine.GetIP(bob) == "127.0.0.9"; }, 5s));
        EXPECT_TRUE(engine.IsOnline(bob, -1, 0));
        calls.TOSNotice(kOwnAddress, annId, bob, 7, true);
        EXPECT_TRUE(testsupport::WaitFor([&] { return engine.IsOnline(bob, 7, 0); }, 5s));
        EXPECT_FALSE(engine.IsOnline(bob, 8, 0));
        // A live check finds nobody at that address and stores it.
        EXPECT_FALSE(engine.IsOnline(bob, 7, 1));
        EXPECT_FALSE(engine.IsOnline(bob, 7, 0));

        // A request for another callee is refused.
        EXPECT_THROW(calls.KnownQuery(kOwnAddress, annId + 50, bob), CStdExcept);
    }
    // Offline once the engine is gone.
    EXPECT_FALSE(testsupport::CanConnect(kOwnAddress, presence::kPeerPort, 200ms));
}

TEST_F(HalvaraEngineIntegrationTest, HandsOutEachSystemMessageOnceEvenAcrossRestarts) {
    {
        Halvara engine;
        // Only a stored identity's state outlives the engine.
        EXPECT_EQ(engine.AddIdentity("Ann", "pw"), 0);
        engine.FlushData();
        engine.SetIdentity(0, "pw");
        engine.FlushData();
        EXPECT_EQ(RefusalOf([&] { engine.GetSystemMessage(155); }), 1148);
        Publish({"--tos", "155"}, "For us");
        Publish({}, "For all");
        // Both due: the particular one first, the general one on the next call.
        SystemMessageTexts first = engine.GetSystemMessage(155);
        EXPECT_EQ(first.title, "For us");
        EXPECT_NE(first.text.find("Read this"), std::string::npos);
        EXPECT_EQ(engine.GetSystemMessage(155).title, "For all");
        EXPECT_EQ(RefusalOf([&] { engine.GetSystemMessage(155); }), 1148);
    }
    Halvara engine;
    EXPECT_EQ(engine.GetActiveIdentity(), 0);
    EXPECT_EQ(RefusalOf([&] {
                  SystemMessageTexts again = engine.GetSystemMessage(155);
                  ADD_FAILURE() << "handed out again: " << again.title;
              }),
              1148);
}

TEST_F(HalvaraEngineIntegrationTest, AFriendDeletedStaysAnAcquaintanceAndAddingMovesBetweenLists) {
    const std::int32_t bob = RegisterOtherUser("Bob", "bob@example.org");
    const std::int32_t cy = RegisterOtherUser("Cy", "cy@example.org");
    Halvara engine;
    engine.Add(bob, true);
    engine.Add(cy, false);
    EXPECT_NE(RefusalOf([&] { engine.Delete(cy); }), 0) << "only a friend can be deleted";
    engine.Delete(bob);
    EXPECT_EQ(engine.GetAcquaintance(1), bob);
    EXPECT_EQ(engine.GetProfile(bob).name, "Bob");
    EXPECT_NE(RefusalOf([&] { engine.GetFriend(1); }), 0);
    EXPECT_NE(RefusalOf([&] { engine.Delete(engine.GetMyID()); }), 0);

    // Adding a listed contact to the other list moves it; to its own list fails.
    engine.Add(cy, true);
    EXPECT_EQ(engine.GetFriend(1), cy);
    engine.Add(cy, false);
    EXPECT_EQ(engine.GetAcquaintance(1), cy);
    EXPECT_NE(RefusalOf([&] { engine.Add(cy, false); }), 0);
}

} // namespace
