// Three users of one machine, each with its own address, home and session,
// running the real directory, the real presence services and the `halvara`
// client: registration, friends online and offline, presence per TOS,
// identities, system messages, a restart of everything, and the service ending
// with its last registration.

#include "PresenceNetwork.h"

#include <algorithm>
#include <cctype>

namespace {

using namespace presencenetwork;

constexpr int kDrovickTos = 155;
constexpr int kExitOffline = 3;

class ThreeUsers : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_network.Dir().Started()); }

    std::string Me(const PresenceUser& user) {
        Outcome me = user.Halvara({"me"});
        EXPECT_EQ(me.code, 0) << me.err;
        return me.out;
    }

    static std::string MeLine(const PresenceUser& user) {
        return user.Id() + "\t" + user.Name() + "\t" + user.EMail() + "\n";
    }

    // `halvara online` as the exit code says it: 0 online, 3 offline.
    static int Online(const PresenceUser& asker, const PresenceUser& contact,
                      std::vector<std::string> options = {}) {
        std::vector<std::string> words{"online", contact.EMail()};
        words.insert(words.end(), options.begin(), options.end());
        Outcome run = asker.Halvara(words);
        if (run.code == 0) {
            EXPECT_EQ(run.out, "online\n");
        } else if (run.code == kExitOffline) {
            EXPECT_EQ(run.out, "offline\n");
        } else {
            ADD_FAILURE() << "online " << contact.EMail() << ": exit " << run.code << " "
                          << run.err;
        }
        return run.code;
    }

    // The waiting list the directory keeps for the user, as it answers its
    // owner: the lower-cased password goes last (the fixture's passwords need
    // no escaping). A directory that takes no password there is asked without.
    std::string WaitingAt(const PresenceUser& user) {
        std::string password = user.Password();
        std::transform(password.begin(), password.end(), password.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        auto body = m_network.Dir().Get("/cgi-bin/lookupacqs?" + user.Id() + "+" + password);
        if (!body)
            body = m_network.Dir().Get("/cgi-bin/lookupacqs?" + user.Id());
        return body ? *body : std::string("(no answer)");
    }

    PresenceNetwork m_network{3};
    PresenceUser& m_ada = m_network.User(0);
    PresenceUser& m_bo = m_network.User(1);
    PresenceUser& m_cy = m_network.User(2);
};

TEST_F(ThreeUsers, FriendsOnlineAndOfflinePresencePerTosAndNoticesLeftAtTheDirectory) {
    for (PresenceUser* user : {&m_ada, &m_bo, &m_cy})
        ASSERT_FALSE(user->Register().empty());
    EXPECT_NE(m_ada.Id(), m_bo.Id());
    EXPECT_NE(m_bo.Id(), m_cy.Id());
    EXPECT_EQ(Me(m_bo), MeLine(m_bo));
    // Nobody holds a registration after a one-shot command: the service ends.
    for (PresenceUser* user : {&m_ada, &m_bo, &m_cy})
        EXPECT_TRUE(user->WaitServiceGone(20s)) << user->Address();

    ASSERT_TRUE(m_ada.Hold()) << m_ada.HoldOutput();
    ASSERT_TRUE(m_bo.Hold(kDrovickTos)) << m_bo.HoldOutput(kDrovickTos);

    // A friend who is online hears of us at once and lists us.
    Outcome addBo = m_ada.Halvara({"add", m_bo.EMail()});
    ASSERT_EQ(addBo.code, 0) << addBo.err;
    EXPECT_EQ(addBo.out, m_bo.Id() + "\n");
    EXPECT_TRUE(Eventually(
        [&] {
            auto row = m_bo.Contact("acquaintances", m_ada.EMail());
            return row && row->id == m_ada.Id() && row->name == m_ada.Name();
        },
        15s))
        << m_bo.LastFailure();
    auto boRow = m_ada.Contact("friends", m_bo.EMail());
    ASSERT_TRUE(boRow) << m_ada.LastFailure();
    EXPECT_EQ(boRow->id, m_bo.Id());
    EXPECT_EQ(boRow->name, m_bo.Name());
    // Ada is only an acquaintance of Bo's, not a friend; nor is Bo Ada's acquaintance.
    EXPECT_FALSE(m_bo.Contact("friends", m_ada.EMail())) << m_bo.LastFailure();
    EXPECT_FALSE(m_ada.Contact("acquaintances", m_bo.EMail())) << m_ada.LastFailure();

    // A friend who is offline finds the notice at the directory.
    Outcome addCy = m_ada.Halvara({"add", m_cy.EMail()});
    ASSERT_EQ(addCy.code, 0) << addCy.err;
    EXPECT_EQ(addCy.out, m_cy.Id() + "\n");
    // The notice goes out behind the command's answer: ask until it is there.
    EXPECT_TRUE(Eventually([&] { return WaitingAt(m_cy) == m_ada.Id() + "\n"; }, 15s))
        << WaitingAt(m_cy);
    auto cyRow = m_ada.Contact("friends", m_cy.EMail());
    ASSERT_TRUE(cyRow) << m_ada.LastFailure();
    EXPECT_EQ(cyRow->state, "offline");
    EXPECT_EQ(cyRow->address, "0.0.0.0");

    // Plain presence and presence for a TOS, asked live: Bo runs 155, not 156.
    EXPECT_EQ(Online(m_ada, m_bo, {"--live"}), 0);
    EXPECT_EQ(Online(m_ada, m_bo, {"--tos", "155", "--live"}), 0);
    EXPECT_EQ(Online(m_ada, m_bo, {"--tos", "156", "--live"}), kExitOffline);
    // What was learnt is kept and answered without asking.
    EXPECT_EQ(Online(m_ada, m_bo, {"--tos", "155"}), 0);
    EXPECT_EQ(Online(m_ada, m_bo), 0);
    EXPECT_EQ(Online(m_ada, m_cy, {"--live"}), kExitOffline);
    boRow = m_ada.Contact("friends", m_bo.EMail());
    ASSERT_TRUE(boRow) << m_ada.LastFailure();
    EXPECT_EQ(boRow->state, "online");
    EXPECT_EQ(boRow->address, m_bo.Address());

    // Cy comes online, collects Ada from the directory and tells her its address.
    ASSERT_TRUE(m_cy.Hold()) << m_cy.HoldOutput();
    EXPECT_TRUE(Eventually(
        [&] {
            auto row = m_cy.Contact("acquaintances", m_ada.EMail());
            return row && row->id == m_ada.Id();
        },
        20s))
        << m_cy.LastFailure();
    EXPECT_EQ(WaitingAt(m_cy), "None\n");
    EXPECT_TRUE(Eventually(
        [&] {
            auto row = m_ada.Contact("friends", m_cy.EMail());
            return row && row->address == m_cy.Address();
        },
        15s))
        << m_ada.LastFailure();
    EXPECT_EQ(Online(m_ada, m_cy, {"--live"}), 0);
    // Cy holds the client's own TOS only.
    EXPECT_EQ(Online(m_ada, m_cy, {"--tos", "155", "--live"}), kExitOffline);
}

TEST_F(ThreeUsers, IdentitiesSystemMessagesAndARestartOfEverything) {
    ASSERT_FALSE(m_ada.Register().empty());
    ASSERT_FALSE(m_bo.Register().empty());
    ASSERT_TRUE(m_ada.Hold()) << m_ada.HoldOutput();

    // A second identity is registered and made active.
    const std::string work =
        m_ada.RegisterIdentity("Ada at Work", "ada.work@example.org", "work-Pass9");
    ASSERT_FALSE(work.empty());
    EXPECT_NE(work, m_ada.Id());
    const std::string bothIdentities = "0\tAda Lind\t-\n1\tAda at Work\tactive\n";
    EXPECT_EQ(m_ada.Halvara({"identities"}).out, bothIdentities);
    EXPECT_EQ(Me(m_ada), work + "\tAda at Work\tada.work@example.org\n");

    const pid_t service = m_ada.SoleService(15s);
    ASSERT_NE(service, 0) << m_ada.ServiceStates();

    // The first identity's password is asked for; a wrong one changes nothing.
    Outcome wrong = m_ada.Halvara({"switch", "0"}, "work-Pass9\n");
    EXPECT_EQ(wrong.code, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(wrong.err.rfind("halvara: ", 0), 0u) << wrong.err;
    EXPECT_EQ(m_ada.Halvara({"identities"}).out, bothIdentities);
    EXPECT_EQ(Me(m_ada), work + "\tAda at Work\tada.work@example.org\n");
    Outcome right = m_ada.Halvara({"switch", "0"}, m_ada.Password() + "\n");
    EXPECT_EQ(right.code, 0) << right.err;
    EXPECT_EQ(right.out, "0\n");
    const std::string afterSwitch = "0\tAda Lind\tactive\n1\tAda at Work\t-\n";
    EXPECT_EQ(m_ada.Halvara({"identities"}).out, afterSwitch);
    EXPECT_EQ(Me(m_ada), MeLine(m_ada));
    // The hold's registration came along to the new identity: the commands'
    // own registrations came and went, and the same service still runs.
    EXPECT_TRUE(m_ada.Holding());
    EXPECT_EQ(m_ada.SoleService(15s), service) << m_ada.ServiceStates();

    // A contact of this identity, Bo being offline.
    Outcome add = m_ada.Halvara({"add", m_bo.EMail()});
    ASSERT_EQ(add.code, 0) << add.err;

    // A general message, then one for the users of TOS 155: each once.
    ASSERT_EQ(m_network.Dir().SystemMessage("Maintenance", "The directory moves tonight").code, 0);
    EXPECT_EQ(m_ada.Halvara({"message"}).out, "Maintenance\nThe directory moves tonight\n");
    Outcome again = m_ada.Halvara({"message"});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(again.out, "");
    ASSERT_EQ(m_network.Dir().SystemMessage("Drovick news", "Version 2 is out", 155).code, 0);
    EXPECT_EQ(m_ada.Halvara({"message"}, {}, kDrovickTos).out, "Drovick news\nVersion 2 is out\n");
    EXPECT_EQ(m_ada.Halvara({"message"}, {}, kDrovickTos).out, "");
    // Every identity sees a message once of its own.
    EXPECT_EQ(m_bo.Halvara({"message"}).out, "Maintenance\nThe directory moves tonight\n");

    // Everything stopped and started again.
    m_network.StopAll();
    EXPECT_FALSE(m_ada.ServiceRunning());
    EXPECT_FALSE(m_bo.ServiceRunning());
    ASSERT_TRUE(m_network.Dir().Start());
    ASSERT_TRUE(m_ada.Hold()) << m_ada.HoldOutput();
    EXPECT_EQ(m_ada.Halvara({"identities"}).out, afterSwitch);
    EXPECT_EQ(Me(m_ada), MeLine(m_ada));
    auto boRow = m_ada.Contact("friends", m_bo.EMail());
    ASSERT_TRUE(boRow) << m_ada.LastFailure();
    EXPECT_EQ(boRow->id, m_bo.Id());
    EXPECT_EQ(boRow->name, m_bo.Name());
    // Messages already handed out stay handed out. An identity keeps one time
    // for the particular message, whatever number it asks with, so TOS 155
    // asks before the client's own number would reset it.
    EXPECT_EQ(m_ada.Halvara({"message"}, {}, kDrovickTos).out, "");
    EXPECT_EQ(m_ada.Halvara({"message"}).out, "");
    EXPECT_EQ(m_bo.Halvara({"message"}).out, "");
    // The other identity is still there and keeps its own password.
    EXPECT_EQ(m_ada.Halvara({"switch", "1"}, m_ada.Password() + "\n").code, 1);
    EXPECT_EQ(m_ada.Halvara({"switch", "1"}, "WORK-PASS9\n").out, "1\n");
    EXPECT_EQ(Me(m_ada), work + "\tAda at Work\tada.work@example.org\n");

    // One service for two registrations; it ends with the last one.
    ASSERT_TRUE(m_ada.Hold(kDrovickTos)) << m_ada.HoldOutput(kDrovickTos);
    const pid_t restarted = m_ada.SoleService(15s);
    ASSERT_NE(restarted, 0) << m_ada.ServiceStates();
    EXPECT_NE(restarted, service);
    EXPECT_EQ(m_ada.Release(), 0);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(m_ada.SoleService(15s), restarted) << m_ada.ServiceStates();
    EXPECT_EQ(Me(m_ada), work + "\tAda at Work\tada.work@example.org\n");
    EXPECT_EQ(m_ada.SoleService(15s), restarted) << m_ada.ServiceStates();
    EXPECT_EQ(m_ada.Release(kDrovickTos), 0);
    EXPECT_TRUE(m_ada.WaitServiceGone(20s)) << m_ada.ServiceStates();
}

TEST_F(ThreeUsers, AFriendWhoLeavesIsSeenOfflineWithoutAsking) {
    ASSERT_FALSE(m_ada.Register().empty());
    ASSERT_FALSE(m_bo.Register().empty());
    ASSERT_TRUE(m_ada.Hold()) << m_ada.HoldOutput();
    ASSERT_TRUE(m_bo.Hold(kDrovickTos)) << m_bo.HoldOutput(kDrovickTos);
    Outcome add = m_ada.Halvara({"add", m_bo.EMail()});
    ASSERT_EQ(add.code, 0) << add.err;
    ASSERT_TRUE(
        Eventually([&] { return m_bo.Contact("acquaintances", m_ada.EMail()).has_value(); }, 15s))
        << m_bo.LastFailure();
    EXPECT_EQ(Online(m_ada, m_bo, {"--tos", "155", "--live"}), 0);
    auto boRow = m_ada.Contact("friends", m_bo.EMail());
    ASSERT_TRUE(boRow) << m_ada.LastFailure();
    ASSERT_EQ(boRow->state, "online");
    ASSERT_EQ(boRow->address, m_bo.Address());

    // Bo's service ends with its last registration and tells Ada, who sees it
    // offline at 0.0.0.0 without asking.
    EXPECT_EQ(m_bo.Release(kDrovickTos), 0);
    EXPECT_TRUE(m_bo.WaitServiceGone(20s)) << m_bo.ServiceStates();
    boRow = m_ada.Contact("friends", m_bo.EMail());
    ASSERT_TRUE(boRow) << m_ada.LastFailure();
    EXPECT_EQ(boRow->state, "offline");
    EXPECT_EQ(boRow->address, "0.0.0.0");
    EXPECT_EQ(Online(m_ada, m_bo), kExitOffline);
    EXPECT_EQ(Online(m_ada, m_bo, {"--tos", "155"}), kExitOffline);
}

// Every client launches a service, which ends at once when one runs. A command
// just before the last registration ends must not leave its copy running in
// place of the service that ended.
TEST_F(ThreeUsers, NoServiceOutlivesTheLastRegistrationRightAfterACommand) {
    ASSERT_FALSE(m_ada.Register().empty());
    ASSERT_TRUE(m_ada.WaitServiceGone(20s)) << m_ada.ServiceStates();
    ASSERT_TRUE(m_ada.Hold()) << m_ada.HoldOutput();
    EXPECT_EQ(Me(m_ada), MeLine(m_ada));
    EXPECT_EQ(m_ada.Release(), 0);
    EXPECT_TRUE(m_ada.WaitServiceGone(15s)) << m_ada.ServiceStates();
}

} // namespace
