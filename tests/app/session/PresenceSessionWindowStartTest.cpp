// The window program's start through the presence session, in front of a
// scripted presence service: the library started with the main window as the
// owner of what it shows, then five anonymous acquaintances asked for; a cancel
// once the start has answered changes nothing. One library start per process,
// so this program holds one test.

#include "ScriptedSessionService.h"
#include "app/session/PresenceSession.h"
#include "halvara.h"

#include <future>
#include <gtest/gtest.h>

namespace {

constexpr int kMyId = 7;

std::vector<BridgeRecord> Answer(const BridgeRecord& request) {
    switch (request.Code()) {
    case kCmdSystemMessage:
        return {FakeService::Reply(request, 0)};
    case kCmdGetMyID:
        return {FakeService::Reply(request, kMyId)};
    case kCmdGetIP: {
        BridgeRecord reply = FakeService::Reply(request, 1);
        reply.SetTextAt(BridgeRecord::kAddressOffset, "10.9.9.9", BridgeRecord::kAddressWidth);
        return {reply};
    }
    default:
        return {FakeService::Reply(request, 1)};
    }
}

// The codes and first two numbers of the requests, in order.
std::vector<std::array<int, 3>> Asked(const FakeService& service) {
    std::vector<std::array<int, 3>> asked;
    for (const BridgeRecord& request : service.Requests())
        asked.push_back({request.Code(), request.I32At(4), request.I32At(8)});
    return asked;
}

TEST(PresenceSessionWindowStart, StartsWithTheWindowAsksForAcquaintancesAndIgnoresALateCancel) {
    ScriptedSessionService scripted(Answer);
    FakeService& service = scripted.Service();
    {
        PresenceSession session;
        int mainWindow = 0;
        session.SetParentWindow(&mainWindow);
        std::promise<bool> answered;
        session.StartInBackground([&answered](bool registered) { answered.set_value(registered); });
        auto result = answered.get_future();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        ASSERT_TRUE(result.get());

        // The parent window became the library's; the system message is asked
        // for it, then the registration and the acquaintances.
        EXPECT_EQ(Halvara_SetParentWindow(nullptr), reinterpret_cast<HalvaraWindow>(&mainWindow));
        const std::vector<std::array<int, 3>> start{{kCmdSystemMessage, kDrovickTos, 0},
                                                    {kCmdIsRegistered, 0, 0},
                                                    {kCmdUpdateTOS, kDrovickTos, 1},
                                                    {kCmdAddAnonAcquaintances, 5, kDrovickTos}};
        auto asked = Asked(service);
        ASSERT_GE(asked.size(), start.size());
        EXPECT_EQ(std::vector(asked.begin(), asked.begin() + 4), start);

        // Nothing is pending any more: the cancel leaves the session working.
        session.CancelPendingStart();
        EXPECT_EQ(Halvara_CancelInitialize(), 0);
        EXPECT_TRUE(session.Registered());
        EXPECT_TRUE(session.Holding());
        EXPECT_EQ(session.MyAddress(), "10.9.9.9");
    }
    // Given back when the session went.
    EXPECT_EQ(Asked(service).back(), (std::array<int, 3>{kCmdUpdateTOS, kDrovickTos, 0}));
}

} // namespace
