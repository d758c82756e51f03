#include "service/InternetDatabase.h"

#include "ScriptedHttpResponder.h"
#include "bridge/CStdExcept.h"
#include "support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

using testsupport::ScriptedHttpResponder;

// The refusal number a call ends with, or 0 when it succeeds.
int RefusalOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CStdExcept& refusal) {
        EXPECT_EQ(refusal.Unit(), "InternetDatabase");
        return refusal.Number();
    }
    return 0;
}

class InternetDatabaseTest : public ::testing::Test {
protected:
    InternetDatabaseTest()
        : session([this] { return localAddress; }) {
        session.SetTimeLimits(std::chrono::milliseconds(2000), std::chrono::milliseconds(3000));
    }

    InternetDatabase Database() { return InternetDatabase(session, responder.Host()); }

    ScriptedHttpResponder responder;
    std::string localAddress = "127.0.0.1";
    InternetSession session;
};

// One query as the tests drive it: a well-formed call, the reply that makes it
// succeed, the address it must ask for and its refusal numbers.
struct QueryCase {
    const char* name;
    std::function<void(InternetDatabase&)> call;
    const char* goodReply;
    const char* target;
    int noAddress;
    int noFile; // 0: the query checks the host first, so none is reachable
    int statusUnreadable;
    int statusAbove299;
    int failed;
};

std::vector<QueryCase> AllQueries() {
    return {
        {"registerid", [](InternetDatabase& d) { EXPECT_EQ(d.RegisterNewID(), 42); }, "NewID: 42\n",
         "/cgi-bin/registerid", 823, 0, 840, 845, 852},
        {"updateip", [](InternetDatabase& d) { d.UpdateIP(7, "10.0.0.2"); }, "Result: 0\n",
         "/cgi-bin/updateip?7+10.0.0.2", 885, 897, 902, 907, 914},
        {"lookupip", [](InternetDatabase& d) { EXPECT_EQ(d.LookupIP(9), "10.1.2.3"); },
         "IP: 10.1.2.3\n", "/cgi-bin/lookupip?9", 947, 957, 962, 967, 974},
        {"updateinfo", [](InternetDatabase& d) { d.UpdateProfile(7, "Ann", "A@B.org", "pw"); },
         "Result: 1\n", "/cgi-bin/updateinfo?7+Ann+a%40b.org+pw", 36, 56, 61, 66, 73},
        {"regasacq", [](InternetDatabase& d) { d.RegisterAsAcquaintance(9, 7); }, "Result: 1\n",
         "/cgi-bin/regasacq?9+7", 112, 124, 129, 134, 141},
        {"lookupinfo",
         [](InternetDatabase& d) {
             DirectoryProfile profile = d.LookupProfile(9);
             EXPECT_EQ(profile.name, "Ann Lee");
             EXPECT_EQ(profile.eMail, "ann@b.org");
         },
         "Name: Ann Lee\r\nEMail: Ann@B.org\r\n", "/cgi-bin/lookupinfo?9", 187, 199, 204, 209, 216},
        {"lookupacqs",
         [](InternetDatabase& d) {
             EXPECT_EQ(d.LookupAcquaintances(7), (std::vector<std::int32_t>{12, 7, 30}));
         },
         "12 7 30\n", "/cgi-bin/lookupacqs?7", 288, 301, 306, 311, 318},
        {"delacqs", [](InternetDatabase& d) { d.DeleteAcquaintances(7); }, "Result: 1\n",
         "/cgi-bin/delacqs?7", 377, 389, 394, 399, 406},
        {"lookupid", [](InternetDatabase& d) { EXPECT_EQ(d.LookupID("ann@b.org"), 9); }, "ID: 9\n",
         "/cgi-bin/lookupid?ann%40b.org", 446, 460, 465, 470, 477},
        {"checkpassword", [](InternetDatabase& d) { EXPECT_TRUE(d.CheckPassword(9, "pw")); },
         "Match\n", "/cgi-bin/checkpassword?9+pw", 517, 532, 537, 542, 549},
        {"sysmestime",
         [](InternetDatabase& d) {
             SystemMessageTimes times = d.GetSystemMessageTime(155);
             EXPECT_EQ(times.general, 150);
             EXPECT_EQ(times.particular, 151);
         },
         "150 151\n", "/cgi-bin/sysmestime?155", 584, 597, 602, 607, 614},
        {"sysmessage",
         [](InternetDatabase& d) { EXPECT_EQ(d.GetSystemMessage(155).title, "Title"); },
         "Title\nText", "/sysmessage.155", 652, 667, 672, 677, 684},
        {"notify_mail",
         [](InternetDatabase& d) {
             d.SendInvitationMail("a@b.org", "t1", "t 2", "Ann", "t3", 155);
         },
         "Success", "/cgi-bin/notify_mail?a%40b.org+t1+t%202+Ann+t3+155", 753, 770, 775, 780, 787},
        {"lookuprandomip", [](InternetDatabase& d) { EXPECT_EQ(d.GetRandomIP(155), "10.0.0.5"); },
         "10.0.0.5\n", "/cgi-bin/lookuprandomip?155", 1014, 1024, 1029, 1034, 1041},
        {"removerandomip", [](InternetDatabase& d) { d.RemoveRandomIP(155, "10.0.0.2"); },
         "Result: 0\n", "/cgi-bin/removerandomip?155+10.0.0.2", 1082, 1094, 1099, 1104, 1111},
        {"insertrandomip", [](InternetDatabase& d) { d.InsertRandomIP(155, "10.0.0.2"); },
         "Result: 1\n", "/cgi-bin/insertrandomip?155+10.0.0.2", 1145, 1157, 1162, 1167, 1174},
    };
}

TEST_F(InternetDatabaseTest, EveryQueryAsksForItsAddressAndReadsItsReply) {
    for (const QueryCase& query : AllQueries()) {
        SCOPED_TRACE(query.name);
        responder.Answer(200, query.goodReply);
        InternetDatabase database = Database();
        EXPECT_EQ(RefusalOf([&] { query.call(database); }), 0);
        EXPECT_EQ(responder.LastTarget(), query.target);
    }
    std::string request = responder.LastRequest();
    EXPECT_NE(request.find("User-Agent: Halvara 1.17\r\n"), std::string::npos);
    EXPECT_NE(request.find("Cache-Control: no-cache\r\n"), std::string::npos);
}

TEST_F(InternetDatabaseTest, CommonStepsRefuseWithEachQuerysNumbers) {
    int closedPort = testsupport::FreeTcpPort();
    for (const QueryCase& query : AllQueries()) {
        SCOPED_TRACE(query.name);
        InternetDatabase database = Database();
        auto call = [&] { query.call(database); };

        localAddress = "0.0.0.0";
        responder.Answer(200, query.goodReply);
        EXPECT_EQ(RefusalOf(call), query.noAddress);
        localAddress = "127.0.0.1";

        if (query.noFile != 0) {
            InternetDatabase unusable(session, "no such host");
            EXPECT_EQ(RefusalOf([&] { query.call(unusable); }), query.noFile);
            // A closed port: the exchange itself fails.
            InternetDatabase closed(session, "127.0.0.1:" + std::to_string(closedPort));
            EXPECT_EQ(RefusalOf([&] { query.call(closed); }), query.failed);
        }

        responder.SendRaw("HELLO THERE\r\n\r\n");
        EXPECT_EQ(RefusalOf(call), query.statusUnreadable);
        responder.SendRaw("");
        EXPECT_EQ(RefusalOf(call), query.statusUnreadable);

        responder.Answer(404, query.goodReply);
        EXPECT_EQ(RefusalOf(call), query.statusAbove299);
        responder.Answer(300, query.goodReply);
        EXPECT_EQ(RefusalOf(call), query.statusAbove299);

        // A reply that stops short of its announced length.
        responder.SendRaw("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nab");
        EXPECT_EQ(RefusalOf(call), query.failed);
    }
}

TEST_F(InternetDatabaseTest, ArgumentChecksComeBeforeAnyRequest) {
    InternetDatabase database = Database();
    responder.Answer(200, "Result: 1\n");
    EXPECT_EQ(RefusalOf([&] { database.UpdateProfile(0, "a", "b", "c"); }), 40);
    EXPECT_EQ(RefusalOf([&] { database.RegisterAsAcquaintance(0, 7); }), 115);
    EXPECT_EQ(RefusalOf([&] { database.RegisterAsAcquaintance(9, -1); }), 115);
    EXPECT_EQ(RefusalOf([&] { database.LookupProfile(0); }), 190);
    EXPECT_EQ(RefusalOf([&] { database.LookupAcquaintances(0); }), 291);
    EXPECT_EQ(RefusalOf([&] { database.DeleteAcquaintances(-3); }), 380);
    EXPECT_EQ(RefusalOf([&] { database.LookupID(""); }), 449);
    EXPECT_EQ(RefusalOf([&] { database.CheckPassword(0, "pw"); }), 520);
    EXPECT_EQ(RefusalOf([&] { database.CheckPassword(9, ""); }), 523);
    EXPECT_EQ(RefusalOf([&] { database.SendInvitationMail("", "a", "b", "c", "d", 1); }), 756);
    EXPECT_EQ(RefusalOf([&] { database.UpdateIP(-1, "10.0.0.2"); }), 897);
    EXPECT_EQ(RefusalOf([&] { database.RemoveRandomIP(-1, "10.0.0.2"); }), 1094);
    EXPECT_EQ(RefusalOf([&] { database.InsertRandomIP(-1, "10.0.0.2"); }), 1157);
    EXPECT_TRUE(responder.Targets().empty());
    // The address check comes first of all.
    localAddress = "0.0.0.0";
    EXPECT_EQ(RefusalOf([&] { database.UpdateProfile(0, "a", "b", "c"); }), 36);

    InternetDatabase empty(session, "");
    EXPECT_EQ(RefusalOf([&] { empty.GetSystemMessageTime(1); }), 584);
    localAddress = "127.0.0.1";
    EXPECT_EQ(RefusalOf([&] { empty.GetSystemMessageTime(1); }), 587);
    EXPECT_EQ(RefusalOf([&] { empty.GetSystemMessage(1); }), 655);

    // Registering needs the host to accept a connection first.
    InternetDatabase closed(session, "127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()));
    EXPECT_EQ(RefusalOf([&] { closed.RegisterNewID(); }), 826);
}

TEST_F(InternetDatabaseTest, TheOwnAddressCarriesTheLowerCasedPasswordPercentEncoded) {
    InternetDatabase database = Database();
    responder.Answer(200, "Result: 1\n");
    database.UpdateIP(7, "10.0.0.2", "Pa ss+W&#%");
    // No password: an ID whose profile was never stored.
    database.UpdateIP(8, "10.0.0.3");
    // A refused password is a result like any other.
    responder.Answer(200, "Result: 2\n");
    EXPECT_EQ(RefusalOf([&] { database.UpdateIP(7, "0.0.0.0", "wrong"); }), 0);
    // The other password queries agree on case, so one password serves all.
    responder.Answer(200, "Result: 1\n");
    database.UpdateProfile(7, "Ann", "a@b.org", "Pa ss+W&#%");
    responder.Answer(200, "Match\n");
    EXPECT_TRUE(database.CheckPassword(7, "Pa ss+W&#%"));
    // The waiting list is its owner's, read and cleared with the same password.
    responder.Answer(200, "4 5\n");
    EXPECT_EQ(database.LookupAcquaintances(7, "Pa ss+W&#%"), (std::vector<std::int32_t>{4, 5}));
    responder.Answer(200, "Result: 1\n");
    database.DeleteAcquaintances(7, "Pa ss+W&#%");
    EXPECT_EQ(responder.Targets(),
              (std::vector<std::string>{"/cgi-bin/updateip?7+10.0.0.2+pa%20ss%2Bw%26%23%25",
                                        "/cgi-bin/updateip?8+10.0.0.3",
                                        "/cgi-bin/updateip?7+0.0.0.0+wrong",
                                        "/cgi-bin/updateinfo?7+Ann+a%40b.org+pa%20ss%2Bw%26%23%25",
                                        "/cgi-bin/checkpassword?7+pa%20ss%2Bw%26%23%25",
                                        "/cgi-bin/lookupacqs?7+pa%20ss%2Bw%26%23%25",
                                        "/cgi-bin/delacqs?7+pa%20ss%2Bw%26%23%25"}));
}

TEST_F(InternetDatabaseTest, AWaitingListQueryThatCannotTakeAPasswordIsAskedOnceWithout) {
    InternetDatabase database = Database();
    // A directory that takes no password there refuses the extra argument.
    responder.Answer(400, "Error: wrong number of arguments\n");
    EXPECT_EQ(RefusalOf([&] { database.LookupAcquaintances(7, "pw"); }), 311);
    EXPECT_EQ(RefusalOf([&] { database.DeleteAcquaintances(7, "pw"); }), 399);
    // Any other refusal stands.
    responder.Answer(403, "Error: wrong password\n");
    EXPECT_EQ(RefusalOf([&] { database.LookupAcquaintances(7, "pw"); }), 311);
    EXPECT_EQ(responder.Targets(),
              (std::vector<std::string>{"/cgi-bin/lookupacqs?7+pw", "/cgi-bin/lookupacqs?7",
                                        "/cgi-bin/delacqs?7+pw", "/cgi-bin/delacqs?7",
                                        "/cgi-bin/lookupacqs?7+pw"}));
}

TEST_F(InternetDatabaseTest, ResultLinesDecideSuccess) {
    InternetDatabase database = Database();
    auto answered = [&](const char* body, const std::function<void()>& call) {
        responder.Answer(200, body);
        return RefusalOf(call);
    };
    auto profile = [&] { database.UpdateProfile(7, "Ann", "a@b.org", "pw"); };
    EXPECT_EQ(answered("Thanks", profile), 0);
    EXPECT_EQ(answered("Result: 2\n", profile), 88);
    auto acquaintance = [&] { database.RegisterAsAcquaintance(9, 7); };
    EXPECT_EQ(answered("Result: 109\n", acquaintance), 0);
    EXPECT_EQ(answered("Result: 3\n", acquaintance), 156);
    auto remove = [&] { database.DeleteAcquaintances(7); };
    EXPECT_EQ(answered("Result: 0\n", remove), 420);
    EXPECT_EQ(answered("Done", remove), 0);
    auto update = [&] { database.UpdateIP(7, "10.0.0.2"); };
    EXPECT_EQ(answered("Result: 5\r\n", update), 0);
    EXPECT_EQ(answered("Result: 1", update), 931);
    EXPECT_EQ(answered("OK\n", update), 931);
    auto removeRandom = [&] { database.RemoveRandomIP(155, "10.0.0.2"); };
    EXPECT_EQ(answered("Nope\n", removeRandom), 1128);
    auto insertRandom = [&] { database.InsertRandomIP(155, "10.0.0.2"); };
    EXPECT_EQ(answered("Result: 0\n", insertRandom), 1195);
    EXPECT_EQ(answered("Result: x\n", insertRandom), 1195);
}

TEST_F(InternetDatabaseTest, BodiesWithoutTheirLinesAreRefused) {
    InternetDatabase database = Database();
    auto answered = [&](const char* body, const std::function<void()>& call) {
        responder.Answer(200, body);
        return RefusalOf(call);
    };
    EXPECT_EQ(answered("Sorry\n", [&] { database.RegisterNewID(); }), 871);
    EXPECT_EQ(answered("EMail: a@b.org\n", [&] { database.LookupProfile(9); }), 229);
    EXPECT_EQ(answered("Name: Ann\n", [&] { database.LookupProfile(9); }), 248);
    // "EMail: " inside the name line is not the e-mail line.
    EXPECT_EQ(answered("Name: x EMail: y\n", [&] { database.LookupProfile(9); }), 248);
    EXPECT_EQ(answered("Unknown\n", [&] { database.LookupID("a@b.org"); }), 496);
    EXPECT_EQ(answered("", [&] { database.GetSystemMessage(0); }), 709);
    EXPECT_EQ(answered("", [&] { database.SendInvitationMail("a", "b", "c", "d", "e", 1); }), 800);
    EXPECT_EQ(
        answered("Success\n", [&] { database.SendInvitationMail("a", "b", "c", "d", "e", 1); }),
        805);
    EXPECT_EQ(answered("None\n", [&] { database.LookupIP(9); }), 996);
    EXPECT_EQ(answered("IP: 300.1.2.3\n", [&] { database.LookupIP(9); }), 996);
    EXPECT_EQ(answered("None\n", [&] { database.GetRandomIP(155); }), 1064);

    // Only the first 2048 bytes count.
    std::string late(2048, 'x');
    late += "ID: 5\n";
    EXPECT_EQ(answered(late.c_str(), [&] { database.LookupID("a@b.org"); }), 496);
    std::string early = "ID: 5\n" + std::string(5000, 'x');
    responder.Answer(200, early);
    EXPECT_EQ(database.LookupID("a@b.org"), 5);
}

TEST_F(InternetDatabaseTest, ListsMessagesAndPasswordAnswers) {
    InternetDatabase database = Database();
    responder.Answer(200, "None");
    EXPECT_TRUE(database.LookupAcquaintances(7).empty());
    responder.Answer(200, "");
    EXPECT_TRUE(database.LookupAcquaintances(7).empty());
    responder.Answer(200, "4 5\n6 7\n");
    EXPECT_EQ(database.LookupAcquaintances(7), (std::vector<std::int32_t>{4, 5}));

    responder.Answer(200, "NoMatch\n");
    EXPECT_FALSE(database.CheckPassword(9, "pw"));

    responder.Answer(200, "160");
    SystemMessageTimes times = database.GetSystemMessageTime(155);
    EXPECT_EQ(times.general, 160);
    EXPECT_EQ(times.particular, 0);

    responder.Answer(200, "News\nline one\nline two");
    SystemMessage message = database.GetSystemMessage(0);
    EXPECT_EQ(responder.LastTarget(), "/sysmessage");
    EXPECT_EQ(message.title, "News");
    EXPECT_EQ(message.text, "line one\nline two");

    // A system message is read to its announced length, beyond the usual limit;
    // only the title is cut.
    std::string longTitle(200, 't');
    std::string longText(5000, 'x');
    responder.Answer(200, longTitle + "\n" + longText);
    message = database.GetSystemMessage(-4);
    EXPECT_EQ(responder.LastTarget(), "/sysmessage");
    EXPECT_EQ(message.title, std::string(127, 't'));
    EXPECT_EQ(message.text, longText);
}

TEST_F(InternetDatabaseTest, TextArgumentsArriveWhole) {
    InternetDatabase database = Database();
    responder.Answer(200, "Result: 1\n");
    database.UpdateProfile(7, "A+B&C#D%E F", "Bob+x@Example.org", "p w/?=");
    EXPECT_EQ(responder.LastTarget(),
              "/cgi-bin/updateinfo?7+A%2BB%26C%23D%25E%20F+bob%2Bx%40example.org+p%20w%2F%3F%3D");
    responder.Answer(200, "Match");
    EXPECT_TRUE(database.CheckPassword(7, "\xE9t\xE9"));
    EXPECT_EQ(responder.LastTarget(), "/cgi-bin/checkpassword?7+%E9t%E9");
}

TEST_F(InternetDatabaseTest, SilentDirectoryCostsAtMostTheTransferLimit) {
    InternetDatabase database = Database();
    responder.StaySilent();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RefusalOf([&] { database.LookupIP(9); }), 974);
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_LT(spent, std::chrono::milliseconds(4500));
    EXPECT_GE(spent, std::chrono::milliseconds(2900));
}

} // namespace
