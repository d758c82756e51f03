// Every directory query against a real halvdir, checked against the answers
// the presence service parses.

#include "HalvdirProcess.h"
#include "directory/DirectoryService.h"

#include <gtest/gtest.h>
#include <set>

namespace {

using halvdirtest::HalvdirProcess;
using halvdirtest::NewId;

class DirectoryQueries : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_directory.Started()) << m_directory.Output(); }

    std::string Body(const std::string& target) {
        auto reply = m_directory.Get(target);
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
        return reply.body;
    }

    // A registered user with a stored profile.
    int MakeUser(const std::string& name, const std::string& email, const std::string& password) {
        int id = NewId(m_directory.Get("/cgi-bin/registerid"));
        EXPECT_GT(id, 0);
        EXPECT_EQ(Body("/cgi-bin/updateinfo?" + std::to_string(id) + "+" + name + "+" + email +
                       "+" + password),
                  "Result: 1\n");
        return id;
    }

    HalvdirProcess m_directory;
};

TEST_F(DirectoryQueries, IdsStartAtOneAndProfilesAreClaimedOnceThenGuardedByThePassword) {
    EXPECT_EQ(Body("/cgi-bin/registerid"), "NewID: 1\n");
    EXPECT_EQ(Body("/cgi-bin/registerid"), "NewID: 2\n");

    // A fresh ID has no profile yet.
    EXPECT_EQ(Body("/cgi-bin/lookupinfo?1"), "Unknown ID\n");
    EXPECT_EQ(Body("/cgi-bin/checkpassword?1+secret"), "NoMatch\n");

    EXPECT_EQ(Body("/cgi-bin/updateinfo?1+Ann%20Lee+Ann@Example.ORG+Secret"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupinfo?1"), "Name: Ann Lee\nEMail: ann@example.org\n");

    // Later changes need the same password; passwords ignore case.
    EXPECT_EQ(Body("/cgi-bin/updateinfo?1+Mallory+mallory@example.org+guess"), "Result: 2\n");
    EXPECT_EQ(Body("/cgi-bin/lookupinfo?1"), "Name: Ann Lee\nEMail: ann@example.org\n");
    EXPECT_EQ(Body("/cgi-bin/updateinfo?1+Ann%20Smith+ann@example.org+SECRET"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupinfo?1"), "Name: Ann Smith\nEMail: ann@example.org\n");
    // A new address replaces the old one in the look-ups; the old one is free again.
    EXPECT_EQ(Body("/cgi-bin/updateinfo?1+Ann%20Smith+ann.smith@example.org+secret"),
              "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupid?ann.smith@example.org"), "ID: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupid?ann@example.org"), "ID: -1\n");
    EXPECT_EQ(Body("/cgi-bin/updateinfo?1+Ann%20Smith+ann@example.org+secret"), "Result: 1\n");

    // One address, one ID; unknown IDs are told apart.
    EXPECT_EQ(Body("/cgi-bin/updateinfo?2+Bob+ANN@example.org+pw"), "Result: 3\n");
    EXPECT_EQ(Body("/cgi-bin/lookupinfo?2"), "Unknown ID\n");
    EXPECT_EQ(Body("/cgi-bin/updateinfo?77+Bob+bob@example.org+pw"), "Result: 4\n");

    EXPECT_EQ(Body("/cgi-bin/checkpassword?1+secret"), "Match\n");
    EXPECT_EQ(Body("/cgi-bin/checkpassword?1+secret2"), "NoMatch\n");
    EXPECT_EQ(Body("/cgi-bin/checkpassword?99+secret"), "NoMatch\n");
}

TEST_F(DirectoryQueries, EscapedTextsKeepPlusAmpersandHashAndPercent) {
    int id = MakeUser("A%2BB%20%26%20C%23%25", "x%2By@example.org", "p%2Bw%26%25");
    EXPECT_EQ(Body("/cgi-bin/lookupinfo?" + std::to_string(id)),
              "Name: A+B & C#%\nEMail: x+y@example.org\n");
    EXPECT_EQ(Body("/cgi-bin/lookupid?X%2BY@example.org"), "ID: " + std::to_string(id) + "\n");
    EXPECT_EQ(Body("/cgi-bin/checkpassword?" + std::to_string(id) + "+p%2Bw%26%25"), "Match\n");
    EXPECT_EQ(Body("/cgi-bin/checkpassword?" + std::to_string(id) + "+p"), "NoMatch\n");
    // Older clients leave "+" unescaped where it can only be text: in the
    // address of lookupid and in the password, the last argument.
    EXPECT_EQ(Body("/cgi-bin/lookupid?x+y@example.org"), "ID: " + std::to_string(id) + "\n");
    EXPECT_EQ(Body("/cgi-bin/checkpassword?" + std::to_string(id) + "+p+w%26%25"), "Match\n");
}

TEST_F(DirectoryQueries, LookupIdIgnoresCaseAndBlanksAndAnswersMinusOneForStrangers) {
    int id = MakeUser("Ann", "ann@example.org", "pw");
    EXPECT_EQ(Body("/cgi-bin/lookupid?ANN@Example.org"), "ID: " + std::to_string(id) + "\n");
    EXPECT_EQ(Body("/cgi-bin/lookupid?%20ann@example.org%20"), "ID: " + std::to_string(id) + "\n");
    EXPECT_EQ(Body("/cgi-bin/lookupid?nobody@example.org"), "ID: -1\n");
}

TEST_F(DirectoryQueries, AddressesArePublishedAndLookedUp) {
    int id = MakeUser("Ann", "ann@example.org", "pw");
    std::string sid = std::to_string(id);
    EXPECT_EQ(Body("/cgi-bin/lookupip?" + sid), "IP: 0.0.0.0\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+127.0.0.2+pw"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupip?" + sid), "IP: 127.0.0.2\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+0.0.0.0+pw"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupip?" + sid), "IP: 0.0.0.0\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?0+127.0.0.9"), "Result: 4\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?555+127.0.0.9"), "Result: 4\n");
    EXPECT_EQ(Body("/cgi-bin/lookupip?555"), "IP: 0.0.0.0\n");
}

TEST_F(DirectoryQueries, OnlyTheOwnerOfAClaimedIdMovesItsAddress) {
    // A new identity publishes its address before it stores its profile.
    std::string fresh = std::to_string(NewId(m_directory.Get("/cgi-bin/registerid")));
    EXPECT_EQ(Body("/cgi-bin/updateip?" + fresh + "+127.0.0.7"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + fresh + "+127.0.0.8+anything"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupip?" + fresh), "IP: 127.0.0.8\n");
    // Two users behind one address: it stays in the pools until the last of
    // them has left it.
    std::string other = std::to_string(NewId(m_directory.Get("/cgi-bin/registerid")));
    EXPECT_EQ(Body("/cgi-bin/updateip?" + other + "+127.0.0.8"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?155+127.0.0.8"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + fresh + "+127.0.0.9"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "127.0.0.8\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + other + "+0.0.0.0"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "0.0.0.0\n");

    int id = MakeUser("Ann", "ann@example.org", "Se%2Bcret");
    std::string sid = std::to_string(id);
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+127.0.0.2+se%2bcret"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?155+127.0.0.2"), "Result: 1\n");

    // Missing, empty and wrong passwords change nothing, not even the pools
    // the old address is in.
    for (const std::string tail : {"", "+", "+wrong", "+se", "+se%2Bcret%2B"})
        EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+127.0.0.66" + tail), "Result: 2\n") << tail;
    EXPECT_EQ(Body("/cgi-bin/lookupip?" + sid), "IP: 127.0.0.2\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "127.0.0.2\n");

    // Case does not matter, and an older client's unescaped "+" stays part of it.
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+0.0.0.0+SE+CRET"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupip?" + sid), "IP: 0.0.0.0\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "0.0.0.0\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?555+127.0.0.9+pw"), "Result: 4\n");
}

TEST_F(DirectoryQueries, WaitingAcquaintancesKeepTheirOrderAndAreCleared) {
    int owner = MakeUser("Owner", "owner@example.org", "pw");
    int a = MakeUser("A", "a@example.org", "pw");
    int b = MakeUser("B", "b@example.org", "pw");
    int c = MakeUser("C", "c@example.org", "pw");
    std::string so = std::to_string(owner);
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + "+pw"), "None\n");
    for (int from : {c, a, b})
        EXPECT_EQ(Body("/cgi-bin/regasacq?" + so + "+" + std::to_string(from)), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/regasacq?" + so + "+" + std::to_string(a)), "Result: 109\n");
    EXPECT_EQ(Body("/cgi-bin/regasacq?" + so + "+" + so), "Result: 2\n");
    EXPECT_EQ(Body("/cgi-bin/regasacq?" + so + "+9999"), "Result: 4\n");
    EXPECT_EQ(Body("/cgi-bin/regasacq?9999+" + so), "Result: 4\n");
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + "+pw"),
              std::to_string(c) + " " + std::to_string(a) + " " + std::to_string(b) + "\n");
    // The others' lists are their own.
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + std::to_string(a) + "+pw"), "None\n");

    EXPECT_EQ(Body("/cgi-bin/delacqs?" + so + "+pw"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + "+pw"), "None\n");
    EXPECT_EQ(Body("/cgi-bin/delacqs?" + so + "+pw"), "Result: 1\n");
}

TEST_F(DirectoryQueries, WaitingListStopsAtItsLimit) {
    int owner = MakeUser("Owner", "owner@example.org", "pw");
    std::string so = std::to_string(owner);
    for (int i = 0; i < 150; ++i) {
        int from = NewId(m_directory.Get("/cgi-bin/registerid"));
        ASSERT_EQ(Body("/cgi-bin/regasacq?" + so + "+" + std::to_string(from)), "Result: 1\n");
    }
    int late = NewId(m_directory.Get("/cgi-bin/registerid"));
    EXPECT_EQ(Body("/cgi-bin/regasacq?" + so + "+" + std::to_string(late)), "Result: 5\n");
    std::string list = Body("/cgi-bin/lookupacqs?" + so + "+pw");
    // One line that fits what the client reads.
    EXPECT_LT(list.size(), 2048u);
    EXPECT_EQ(list.find('\n'), list.size() - 1);
}

TEST_F(DirectoryQueries, WaitingListsOfClaimedIdsOpenOnlyWithTheOwnersPassword) {
    int owner = MakeUser("Owner", "owner@example.org", "Hidden%2BPw");
    int from = MakeUser("From", "from@example.org", "pw");
    std::string so = std::to_string(owner);
    std::string waiting = std::to_string(from) + "\n";
    ASSERT_EQ(Body("/cgi-bin/regasacq?" + so + "+" + std::to_string(from)), "Result: 1\n");

    // Without the password the list reads as empty and stays as it is.
    for (const std::string tail : {"", "+", "+wrong", "+hidden"}) {
        EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + tail), "None\n") << tail;
        EXPECT_EQ(Body("/cgi-bin/delacqs?" + so + tail), "Result: 2\n") << tail;
    }
    // The presence service sends it lower-cased; an older one leaves "+" unescaped.
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + "+hidden%2bpw"), waiting);
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + "+Hidden+Pw"), waiting);
    EXPECT_EQ(Body("/cgi-bin/delacqs?" + so + "+hidden%2bpw"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + so + "+hidden%2bpw"), "None\n");

    // An ID nobody has claimed has no password to give.
    std::string fresh = std::to_string(NewId(m_directory.Get("/cgi-bin/registerid")));
    ASSERT_EQ(Body("/cgi-bin/regasacq?" + fresh + "+" + std::to_string(from)), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + fresh), waiting);
    EXPECT_EQ(Body("/cgi-bin/delacqs?" + fresh), "Result: 1\n");

    std::string log;
    testsupport::WaitFor(
        [&] {
            log = m_directory.Output();
            return log.find("delacqs?" + fresh + " ") != std::string::npos;
        },
        std::chrono::seconds(10));
    EXPECT_EQ(log.find("idden"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /cgi-bin/lookupacqs?" + so + "+* 200"), std::string::npos) << log;
}

TEST_F(DirectoryQueries, PasswordGuessesAreThrottledPerIdAndPerAddress) {
    int id = MakeUser("Ann", "ann@example.org", "right");
    std::string sid = std::to_string(id);
    const std::string right = "/cgi-bin/checkpassword?" + sid + "+right";
    // Wrong guesses through every query that checks a password count alike.
    for (int i = 0; i <= halvdir::DirectoryService::kFreeGuessesPerId; ++i) {
        std::string guess = "guess" + std::to_string(i);
        if (i % 3 == 0)
            EXPECT_EQ(Body("/cgi-bin/checkpassword?" + sid + "+" + guess), "NoMatch\n");
        else if (i % 3 == 1)
            EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+127.0.0.9+" + guess), "Result: 2\n");
        else
            EXPECT_EQ(Body("/cgi-bin/lookupacqs?" + sid + "+" + guess), "None\n");
    }
    // Now locked for the ID, from any address, even to the right password.
    EXPECT_EQ(Body(right), "NoMatch\n");
    EXPECT_EQ(m_directory.Get(right, "127.0.0.7").body, "NoMatch\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+127.0.0.9+right"), "Result: 2\n");
    // Until the lock runs out.
    EXPECT_TRUE(testsupport::WaitFor([&] { return Body(right) == "Match\n"; },
                                     halvdir::DirectoryService::kFirstGuessLock * 8));

    // One address spreading its guesses over many IDs is locked as a whole.
    for (int i = 0; i <= halvdir::DirectoryService::kFreeGuessesPerAddress; ++i)
        m_directory.Get("/cgi-bin/checkpassword?" + std::to_string(100 + i) + "+x", "127.0.0.8");
    EXPECT_EQ(m_directory.Get(right, "127.0.0.8").body, "NoMatch\n");
    EXPECT_EQ(Body(right), "Match\n");
}

// A GET through a balancer at source that forwards the request of client.
halvdirtest::HttpReply GetForwarded(const HalvdirProcess& directory, const char* source,
                                    const std::string& client, const std::string& target) {
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: directory\r\n";
    request += "X-Forwarded-For: " + client + "\r\nConnection: close\r\n\r\n";
    return halvdirtest::RawExchange(directory.Port(), request, std::chrono::seconds(60), source);
}

TEST_F(DirectoryQueries, ATrustedProxysForwardedClientsAreThrottledAndLoggedEachAsItself) {
    HalvdirProcess directory({"--trusted-proxy", "127.0.0.5", "--trusted-proxy", "127.0.0.15"});
    ASSERT_TRUE(directory.Started()) << directory.Output();
    int id = NewId(directory.Get("/cgi-bin/registerid"));
    const std::string sid = std::to_string(id);
    ASSERT_EQ(directory.Get("/cgi-bin/updateinfo?" + sid + "+Ann+ann@example.org+right").body,
              "Result: 1\n");
    const std::string right = "/cgi-bin/checkpassword?" + sid + "+right";
    auto spendGuesses = [&](const char* source, const std::string& client) {
        for (int i = 0; i <= halvdir::DirectoryService::kFreeGuessesPerAddress; ++i)
            GetForwarded(directory, source, client,
                         "/cgi-bin/checkpassword?" + std::to_string(100 + i) + "+x");
    };

    // Only the entry the balancer appended counts; what the client wrote
    // before it is its own claim.
    spendGuesses("127.0.0.5", "203.0.113.77, 203.0.113.1");
    EXPECT_EQ(GetForwarded(directory, "127.0.0.5", "203.0.113.1", right).body, "NoMatch\n");
    // Another client behind the same balancer, or behind the second one, has
    // its own allowance, and so has the first one's claimed address.
    EXPECT_EQ(GetForwarded(directory, "127.0.0.5", "203.0.113.2", right).body, "Match\n");
    EXPECT_EQ(GetForwarded(directory, "127.0.0.15", "203.0.113.3", right).body, "Match\n");
    EXPECT_EQ(GetForwarded(directory, "127.0.0.5", "203.0.113.77", right).body, "Match\n");

    // From a peer that is no trusted proxy the header means nothing: its
    // guesses count against itself, whichever client it names.
    spendGuesses("127.0.0.6", "203.0.113.9");
    EXPECT_EQ(GetForwarded(directory, "127.0.0.6", "203.0.113.10", right).body, "NoMatch\n");
    EXPECT_EQ(GetForwarded(directory, "127.0.0.5", "203.0.113.9", right).body, "Match\n");

    // A trusted proxy that names no IPv4 client is taken as itself, said once.
    EXPECT_EQ(GetForwarded(directory, "127.0.0.5", "unknown", right).body, "Match\n");
    EXPECT_EQ(GetForwarded(directory, "127.0.0.5", "203.0.113.01", right).body, "Match\n");
    std::string log;
    testsupport::WaitFor(
        [&] {
            log = directory.Output();
            return log.find("127.0.0.5 GET /cgi-bin/checkpassword?" + sid + "+* 200") !=
                   std::string::npos;
        },
        std::chrono::seconds(10));
    EXPECT_NE(log.find("203.0.113.2 GET /cgi-bin/checkpassword?" + sid + "+* 200"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("127.0.0.6 GET /cgi-bin/checkpassword?" + sid + "+* 200"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("203.0.113.10 GET"), std::string::npos) << log;
    auto warning = log.find("named no IPv4 client");
    ASSERT_NE(warning, std::string::npos) << log;
    EXPECT_EQ(log.find("named no IPv4 client", warning + 1), std::string::npos) << log;
}

TEST_F(DirectoryQueries, RandomPoolsArePerTosAndForgetUsersThatMove) {
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "0.0.0.0\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?155+127.0.0.2"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?155+127.0.0.3"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?155+127.0.0.3"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?7+127.0.0.4"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/insertrandomip?155+0.0.0.0"), "Result: 2\n");

    std::set<std::string> seen;
    for (int i = 0; i < 40; ++i)
        seen.insert(Body("/cgi-bin/lookuprandomip?155"));
    EXPECT_EQ(seen, (std::set<std::string>{"127.0.0.2\n", "127.0.0.3\n"}));
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?7"), "127.0.0.4\n");

    EXPECT_EQ(Body("/cgi-bin/removerandomip?155+127.0.0.2"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/removerandomip?155+127.0.0.2"), "Result: 0\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "127.0.0.3\n");

    // A user whose address changes takes the old one out of every pool.
    int id = MakeUser("Ann", "ann@example.org", "pw");
    std::string sid = std::to_string(id);
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+127.0.0.3+pw"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/updateip?" + sid + "+0.0.0.0+pw"), "Result: 1\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?155"), "0.0.0.0\n");
    EXPECT_EQ(Body("/cgi-bin/lookuprandomip?7"), "127.0.0.4\n");
}

TEST_F(DirectoryQueries, SystemMessagesCarryIncreasingTimesAndTitleThenText) {
    EXPECT_EQ(Body("/cgi-bin/sysmestime?155"), "0 0\n");
    EXPECT_EQ(Body("/sysmessage"), "");
    EXPECT_EQ(Body("/sysmessage.155"), "");

    EXPECT_EQ(m_directory.SystemMessage("Welcome", "First line\nhttp://example.org/news").code, 0);
    EXPECT_EQ(m_directory.SystemMessage("Drovick news", "Version two", 155).code, 0);

    long general = 0, particular = 0;
    ASSERT_EQ(
        std::sscanf(Body("/cgi-bin/sysmestime?155").c_str(), "%ld %ld", &general, &particular), 2);
    EXPECT_GE(general, 100);
    EXPECT_GE(particular, 100);
    EXPECT_EQ(Body("/sysmessage"), "Welcome\nFirst line\nhttp://example.org/news");
    EXPECT_EQ(Body("/sysmessage.155"), "Drovick news\nVersion two");
    // Another application has no particular message; numbers below 1 neither.
    EXPECT_EQ(Body("/cgi-bin/sysmestime?7"), std::to_string(general) + " 0\n");
    EXPECT_EQ(Body("/cgi-bin/sysmestime?-1"), std::to_string(general) + " 0\n");
    EXPECT_EQ(Body("/sysmessage.7"), "");

    // A new publication in the same second still gets a later time.
    m_directory.SystemMessage("Again", "More", 155);
    long general2 = 0, particular2 = 0;
    ASSERT_EQ(
        std::sscanf(Body("/cgi-bin/sysmestime?155").c_str(), "%ld %ld", &general2, &particular2),
        2);
    EXPECT_EQ(general2, general);
    EXPECT_GT(particular2, particular);
    EXPECT_EQ(Body("/sysmessage.155"), "Again\nMore");

    // Withdrawn: no time, no page; the next publication is still later.
    EXPECT_EQ(m_directory.Admin({"withdraw-sysmessage", "--tos", "155"}).code, 0);
    EXPECT_EQ(Body("/cgi-bin/sysmestime?155"), std::to_string(general) + " 0\n");
    EXPECT_EQ(Body("/sysmessage.155"), "");
    EXPECT_EQ(Body("/sysmessage"), "Welcome\nFirst line\nhttp://example.org/news");
    m_directory.SystemMessage("Back", "Again", 155);
    long general3 = 0, particular3 = 0;
    ASSERT_EQ(
        std::sscanf(Body("/cgi-bin/sysmestime?155").c_str(), "%ld %ld", &general3, &particular3),
        2);
    EXPECT_GT(particular3, particular2);

    // Titles the client cannot keep are refused.
    EXPECT_EQ(m_directory.SystemMessage(std::string(128, 't'), "x").code, 2);
    EXPECT_EQ(m_directory.SystemMessage("two\nlines", "x").code, 2);
}

TEST_F(DirectoryQueries, InvitationsAreRecordedAndAnsweredExactlySuccess) {
    auto reply = m_directory.Get("/cgi-bin/notify_mail?ann@example.org+bob@example.org+Drovick+"
                                 "Ann%20Lee+http%3A%2F%2Fexample.org%2Fdrovick+155");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "Success");
    EXPECT_EQ(Body("/cgi-bin/notify_mail?ann@example.org+not-an-address+Drovick+Ann+url+155"),
              "Refused");
    // Only the two addresses are required.
    EXPECT_EQ(Body("/cgi-bin/notify_mail?ann@example.org+carol@example.org+++%20+155"), "Success");

    std::string outbox = m_directory.Admin({"outbox"}).output;
    EXPECT_NE(outbox.find("ann@example.org\tAnn Lee\tbob@example.org\tDrovick\t"
                          "http://example.org/drovick\t155\t127.0.0.1"),
              std::string::npos)
        << outbox;
    EXPECT_EQ(outbox.find("not-an-address"), std::string::npos);

    // A sender cannot flood the outbox.
    int successes = 0;
    for (int i = 0; i < 55; ++i) {
        successes += Body("/cgi-bin/notify_mail?spam@example.org+v" + std::to_string(i) +
                          "@example.org+App+Spam+url+1") == "Success";
    }
    EXPECT_EQ(successes, 50);

    // Nor can many senders flood one recipient.
    successes = 0;
    for (int i = 0; i < 15; ++i) {
        successes += Body("/cgi-bin/notify_mail?s" + std::to_string(i) +
                          "@example.org+victim@example.org+App+Spam+url+1") == "Success";
    }
    EXPECT_EQ(successes, 10);
    EXPECT_EQ(Body("/cgi-bin/notify_mail?s0@example.org+other@example.org+App+S+url+1"), "Success");
}

TEST_F(DirectoryQueries, VersionFileAppearsOncePublished) {
    EXPECT_EQ(m_directory.Get("/latestversion/drovick").status, 404);
    EXPECT_EQ(m_directory.SetVersion("1001").code, 0);
    EXPECT_EQ(Body("/latestversion/drovick"), "1001\n");
    EXPECT_EQ(m_directory.SetVersion("many").code, 2);
    EXPECT_EQ(Body("/latestversion/drovick"), "1001\n");
    EXPECT_EQ(m_directory.Get("/latestversion/other").status, 404);
}

TEST_F(DirectoryQueries, LogsOneLinePerRequestWithoutPasswords) {
    int id = MakeUser("Ann", "ann@example.org", "TopSecret");
    Body("/cgi-bin/checkpassword?" + std::to_string(id) + "+TopSecret");
    Body("/cgi-bin/updateip?" + std::to_string(id) + "+127.0.0.2+TopSecret");
    Body("/cgi-bin/lookupip?" + std::to_string(id));
    // A line is written once its answer is out, so it may trail the answer.
    auto requestLines = [](const std::string& log) {
        size_t count = 0;
        for (size_t at = log.find("127.0.0.1 GET "); at != std::string::npos;
             at = log.find("127.0.0.1 GET ", at + 1))
            ++count;
        return count;
    };
    std::string log;
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            log = m_directory.Output();
            return requestLines(log) >= 5;
        },
        std::chrono::seconds(10)))
        << log;
    EXPECT_EQ(log.find("TopSecret"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /cgi-bin/checkpassword?" + std::to_string(id) + "+* 200"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GET /cgi-bin/updateip?" + std::to_string(id) + "+127.0.0.2+* 200"),
              std::string::npos)
        << log;
    EXPECT_EQ(requestLines(log), 5u);
}

TEST_F(DirectoryQueries, UsersListingShowsProfilesWithoutSecrets) {
    MakeUser("Ann", "ann@example.org", "TopSecret");
    m_directory.Get("/cgi-bin/registerid");
    std::string users = m_directory.Admin({"users"}).output;
    EXPECT_EQ(users, "1\tAnn\tann@example.org\t0.0.0.0\tpassword\n"
                     "2\t\t\t0.0.0.0\tno-password\n");
}

} // namespace
