#include "service/AnonContacts.h"

#include "FakeContactNetwork.h"
#include "ScriptedHttpResponder.h"
#include "service/Contacts.h"
#include "service/DirectoryOfContacts.h"
#include "service/WatchInternetDatabase.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

TEST(AnonContactsTest, LoopbackAndEmptyAnswersAreNeverKept) {
    FakeDirectory directory;
    directory.randomAnswers = {"127.0.0.1", "0.0.0.0",  "10.0.0.5", "garbage",
                               "127.0.0.1", "10.0.0.6", "10.0.0.7"};
    auto contacts = Contacts::Fresh();
    EXPECT_EQ(contacts->AddAnonAcquaintances(2, 155, directory), 2);
    EXPECT_EQ(contacts->CollectAnonAcquaintances(155),
              (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));
    EXPECT_EQ(directory.randomQueries, 6);
    EXPECT_TRUE(contacts->CollectAnonAcquaintances(156).empty());

    AnonAcquaintance single(155);
    directory.randomAnswers = {"127.0.0.1"};
    EXPECT_EQ(RefusalOf([&] { single.FetchAddress(directory); }), 49);
    directory.randomAnswers = {"0.0.0.0"};
    EXPECT_EQ(RefusalOf([&] { single.FetchAddress(directory); }), 47);
    EXPECT_EQ(single.IP(), "");
}

TEST(AnonContactsTest, RetriesAreBoundedWhileTheDirectoryKeepsFailing) {
    FakeDirectory directory;
    auto contacts = Contacts::Fresh();
    EXPECT_EQ(RefusalOf([&] { contacts->AddAnonAcquaintances(5, 0, directory); }), 618);
    EXPECT_EQ(directory.randomQueries, 0);

    // Every query fails: one slot's tries, then the call gives up.
    EXPECT_EQ(contacts->AddAnonAcquaintances(5, 155, directory), 0);
    EXPECT_EQ(directory.randomQueries, Contacts::kAnonTriesPerSlot);

    // A pool that holds only ourselves ends the same way.
    directory.randomQueries = 0;
    directory.randomAlways = "127.0.0.1";
    EXPECT_EQ(contacts->AddAnonAcquaintances(1000, 155, directory), 0);
    EXPECT_EQ(directory.randomQueries, Contacts::kAnonTriesPerSlot);
    EXPECT_EQ(contacts->AnonCount(), 0u);

    // A good slot keeps what it found when a later slot runs dry.
    directory.randomAlways.clear();
    directory.randomQueries = 0;
    directory.randomAnswers = {"10.0.0.1", "127.0.0.1", "10.0.0.2"};
    EXPECT_EQ(contacts->AddAnonAcquaintances(4, 155, directory), 2);
    EXPECT_EQ(directory.randomQueries, 3 + Contacts::kAnonTriesPerSlot);

    // One call fills at most kMaxAnonPerCall slots, however many it is asked for.
    directory.randomAlways = "10.9.9.9";
    directory.randomQueries = 0;
    EXPECT_EQ(contacts->AddAnonAcquaintances(1 << 30, 7, directory), Contacts::kMaxAnonPerCall);
    EXPECT_EQ(directory.randomQueries, Contacts::kMaxAnonPerCall);
    EXPECT_EQ(contacts->AddAnonAcquaintances(-4, 7, directory), 0);
}

TEST(AnonContactsTest, EmptySlotsAreSkippedAndRefilled) {
    AnonContacts anon;
    for (int i = 0; i < 12; ++i) {
        auto entry = std::make_shared<AnonAcquaintance>(i % 2 ? 155 : 7);
        entry->SetIP("10.0.0." + std::to_string(i));
        anon.Append(entry);
    }
    EXPECT_EQ(anon.SlotCount(), 20u);
    EXPECT_EQ(anon.Count(), 12u);

    anon.RemoveAt(3);
    EXPECT_EQ(anon.Count(), 11u);
    EXPECT_EQ(anon.At(3)->IP(), "10.0.0.4");
    EXPECT_EQ(anon.At(10)->IP(), "10.0.0.11");
    EXPECT_EQ(RefusalOf([&] { anon.At(11); }), 60);
    EXPECT_EQ(RefusalOf([&] { anon.RemoveAt(11); }), 70);
    EXPECT_EQ(anon.CollectForTOS(155), (std::vector<std::string>{"10.0.0.1", "10.0.0.5", "10.0.0.7",
                                                                 "10.0.0.9", "10.0.0.11"}));

    // The gap is filled before the array grows.
    auto late = std::make_shared<AnonAcquaintance>(155);
    late->SetIP("10.0.0.99");
    anon.Append(late);
    EXPECT_EQ(anon.SlotCount(), 20u);
    EXPECT_EQ(anon.At(3), late);
    EXPECT_EQ(RefusalOf([&] { anon.Append(nullptr); }), 30);

    // Entries without an address are not collected.
    anon.Append(std::make_shared<AnonAcquaintance>(155));
    EXPECT_EQ(anon.CollectForTOS(155).size(), 6u);
}

TEST(AnonContactsTest, RefreshKeepsTheAnsweringAndReplacesTheRest) {
    FakeDirectory directory;
    FakePeers peers;
    directory.randomAnswers = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
    auto contacts = Contacts::Fresh();
    ASSERT_EQ(contacts->AddAnonAcquaintances(3, 155, directory), 3);

    peers.anonAnswers["10.0.0.1"] = 1; // still runs the TOS
    peers.anonAnswers["10.0.0.2"] = 0; // no longer does
    // 10.0.0.3 does not answer at all.
    directory.randomAnswers = {"10.0.0.20", "127.0.0.1"};
    contacts->RefreshAnonAcquaintances(directory, peers);
    // The failed fetch for the third leaves its old address in place.
    EXPECT_EQ(contacts->CollectAnonAcquaintances(155),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.20", "10.0.0.3"}));
}

TEST(AnonContactsTest, TheDirectoryOnLoopbackIsAskedAtMostThreeTimesForALoopbackPool) {
    // This computer's address as the records see it, whatever the test host has.
    setenv("HALVARA_ADDRESS", "10.77.0.1", 1);
    testsupport::ScriptedHttpResponder responder;
    WatchInternetDatabase watch(responder.Host());
    auto session = std::make_shared<InternetSession>([] { return std::string("127.0.0.1"); });
    session->SetTimeLimits(std::chrono::milliseconds(2000), std::chrono::milliseconds(3000));
    watch.SetSession(session, responder.Host());
    DirectoryOfContacts directory(watch, [] { return std::string("127.0.0.1"); });
    EXPECT_EQ(directory.LocalAddress(), "10.77.0.1");

    auto contacts = Contacts::Fresh();
    responder.Answer(200, "127.0.0.1");
    EXPECT_EQ(contacts->AddAnonAcquaintances(4, 155, directory), 0);
    EXPECT_EQ(responder.Targets(), std::vector<std::string>(3, "/cgi-bin/lookuprandomip?155"));

    responder.Answer(200, "10.20.30.40");
    EXPECT_EQ(contacts->AddAnonAcquaintances(1, 155, directory), 1);
    EXPECT_EQ(contacts->CollectAnonAcquaintances(155), std::vector<std::string>{"10.20.30.40"});

    // A new identity registers on a session of its own.
    watch.SetSession(nullptr, responder.Host());
    responder.Answer(200, "NewID: 9182\n");
    auto own = contacts->OwnEntry();
    Friend::RegisterNewID(own, directory);
    EXPECT_EQ(own->ID(), 9182);
    EXPECT_EQ(responder.LastTarget(), "/cgi-bin/registerid");
    unsetenv("HALVARA_ADDRESS");
}

} // namespace
