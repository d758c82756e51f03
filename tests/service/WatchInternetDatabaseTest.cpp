#include "service/WatchInternetDatabase.h"

#include "ScriptedHttpResponder.h"
#include "bridge/CStdExcept.h"
#include "support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace {

using testsupport::ScriptedHttpResponder;

std::pair<std::string, int> RefusalOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CStdExcept& refusal) {
        return {refusal.Unit(), refusal.Number()};
    }
    return {"", 0};
}

std::shared_ptr<InternetSession> LoopbackSession() {
    auto session = std::make_shared<InternetSession>([] { return std::string("127.0.0.1"); });
    session->SetTimeLimits(std::chrono::milliseconds(2000), std::chrono::milliseconds(3000));
    return session;
}

TEST(WatchInternetDatabaseTest, EveryQueryRefusesWithoutASession) {
    WatchInternetDatabase watch("127.0.0.1:1");
    const std::vector<std::pair<int, std::function<void()>>> queries = {
        {179, [&] { watch.GetRandomIP(155); }},
        {189, [&] { watch.RemoveRandomIP(155, "10.0.0.1"); }},
        {199, [&] { watch.InsertRandomIP(155, "10.0.0.1"); }},
        {45, [&] { watch.DeleteAcquaintances(7); }},
        {56, [&] { watch.LookupAcquaintances(7); }},
        {67, [&] { watch.GetSystemMessage(0); }},
        {77, [&] { watch.GetSystemMessageTime(155); }},
        {87, [&] { watch.LookupID("a@b.org"); }},
        {96, [&] { watch.LookupIP(9); }},
        {106, [&] { watch.LookupProfile(9); }},
        {116, [&] { watch.RegisterAsAcquaintance(9, 7); }},
        {126, [&] { watch.RegisterNewID(); }},
        {136, [&] { watch.UpdateProfile(7, "a", "b", "c"); }},
        {148, [&] { watch.SendInvitationMail("a", "b", "c", "d", "e", 1); }},
        {159, [&] { watch.UpdateIP(7, "10.0.0.1"); }},
        {169, [&] { watch.CheckPassword(9, "pw"); }},
    };
    for (const auto& [number, call] : queries) {
        SCOPED_TRACE(number);
        EXPECT_EQ(RefusalOf(call), std::make_pair(std::string("WatchInternetDatabase"), number));
    }
    // Arguments are checked by the query itself, which is never reached.
    EXPECT_EQ(RefusalOf([&] { watch.LookupProfile(0); }).second, 106);
}

TEST(WatchInternetDatabaseTest, ForwardsToTheSessionAndHostItHolds) {
    ScriptedHttpResponder responder;
    responder.Answer(200, "IP: 10.9.8.7\n");
    WatchInternetDatabase watch("unused");
    auto first = LoopbackSession();
    EXPECT_EQ(watch.SetSession(first, responder.Host()), nullptr);
    EXPECT_EQ(watch.Host(), responder.Host());
    EXPECT_EQ(watch.LookupIP(9), "10.9.8.7");
    EXPECT_EQ(responder.LastTarget(), "/cgi-bin/lookupip?9");

    // The query's own refusals come through unchanged.
    EXPECT_EQ(RefusalOf([&] { watch.LookupProfile(0); }),
              std::make_pair(std::string("InternetDatabase"), 190));

    auto second = LoopbackSession();
    EXPECT_EQ(watch.SetSession(second, responder.Host()), first);
    EXPECT_EQ(watch.SetSession(nullptr, responder.Host()), second);
    EXPECT_EQ(RefusalOf([&] { watch.LookupIP(9); }).second, 96);
}

TEST(WatchInternetDatabaseTest, SessionReplacedDuringQueriesOutlivesThem) {
    ScriptedHttpResponder responder;
    responder.Answer(200, "Match");
    WatchInternetDatabase watch("unused");
    watch.SetSession(LoopbackSession(), responder.Host());
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread caller([&] {
        while (!stop) {
            try {
                if (watch.CheckPassword(9, "pw"))
                    ++answered;
            } catch (const CStdExcept&) {
                // Offline for a moment: the next round goes on.
            }
        }
    });
    for (int i = 0; i < 50; ++i) {
        // The previous session is dropped here while the caller may still use it.
        watch.SetSession(i % 5 == 4 ? nullptr : LoopbackSession(), responder.Host());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    watch.SetSession(LoopbackSession(), responder.Host());
    int before = answered;
    EXPECT_TRUE(testsupport::WaitFor([&] { return answered > before; }, std::chrono::seconds(5)));
    stop = true;
    caller.join();
}

} // namespace
