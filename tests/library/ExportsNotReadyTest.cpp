// Before Halvara_Initialize every export answers its not-ready value at once,
// without a client object and without any service.

#include "halvara.h"
#include "platform/MessageBus.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(ExportsNotReadyTest, EveryExportAnswersItsNotReadyValue) {
    PersonalInfo info;
    std::memset(&info, 'x', sizeof info);
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);

    // Nothing to cancel: no initialisation runs.
    EXPECT_EQ(Halvara_CancelInitialize(), 0);
    EXPECT_EQ(Halvara_Deallocate(155), 0);
    EXPECT_EQ(Halvara_SetParentWindow(reinterpret_cast<HalvaraWindow>(&info)), nullptr);
    EXPECT_EQ(Halvara_FlushData(), 0);
    EXPECT_EQ(Halvara_Add("app", "http://app", 155), 0);
    EXPECT_EQ(Halvara_AddID(1), 0);
    EXPECT_EQ(Halvara_Delete(1), 0);
    EXPECT_EQ(Halvara_GetFriend(0), -1);
    EXPECT_EQ(Halvara_GetAcquaintance(0), -1);
    EXPECT_EQ(Halvara_GetProfile(1, &info), 0);
    EXPECT_EQ(Halvara_LookupProfile(1, &info), 0);
    EXPECT_EQ(Halvara_GetMyProfile(&info), 0);
    EXPECT_EQ(Halvara_SetMyProfile(info), 0);
    EXPECT_EQ(Halvara_LookupID("a@b.org"), -1);
    EXPECT_EQ(Halvara_IsOnline(1, 155, 1), 0);
    EXPECT_EQ(Halvara_GetIP(1, buffer, sizeof buffer), 0);
    EXPECT_EQ(Halvara_GetMyID(), -1);
    EXPECT_EQ(Halvara_SendInvitation("a@b.org", "app", "http://app", 155), 0);
    EXPECT_EQ(Halvara_AddAnonAcquaintances(5, 155), 0);
    EXPECT_EQ(Halvara_GetAnonAcquaintances(155, 1, buffer, sizeof buffer), 0);
    HalvaraFriendOnline online[2]{};
    HalvaraFriendChecks checks{HALVARA_FRIEND_CHECKS_VERSION, 2, 0, online};
    EXPECT_EQ(Halvara_CheckFriendsOnline(155, &checks), 0);
    EXPECT_EQ(Halvara_UpdateTOS(155, 1), 0);
    EXPECT_EQ(Halvara_NumActiveTOS(), -1);
    EXPECT_EQ(Halvara_ChangeIdentity(), 0);
    EXPECT_EQ(Halvara_GetHighestIdentity(), -1);
    EXPECT_EQ(Halvara_GetActiveIdentity(), 0);
    EXPECT_EQ(Halvara_GetIdentity(0, buffer, sizeof buffer), 0);
    EXPECT_EQ(Halvara_SetIdentity(0, "pw"), 0);
    EXPECT_EQ(Halvara_DeleteIdentity(1), 0);
    EXPECT_EQ(Halvara_AddIdentity(), 0);
    EXPECT_EQ(Halvara_IsIdentityTaken("a@b.org"), 0);
    EXPECT_EQ(Halvara_AddAcquaintance(1), 0);
    EXPECT_EQ(Halvara_RegisterIdentityHeadless("Ann", "a@b.org", "pw"), HALVARA_REGISTER_NOT_READY);
    EXPECT_EQ(Halvara_GetSystemMessageHeadless(155, buffer, sizeof buffer, buffer, sizeof buffer),
              -1);

    // Nothing was written into the caller's memory.
    for (char c : buffer)
        ASSERT_EQ(c, 'x');
    const char* bytes = reinterpret_cast<const char*>(&info);
    for (std::size_t i = 0; i < sizeof info; ++i)
        ASSERT_EQ(bytes[i], 'x');
}

TEST(ExportsNotReadyTest, TheMessageWordsAreRegisteredWhenTheLibraryLoads) {
    EXPECT_GE(Halvara_UpdateContactsMsg, 0xC000u);
    EXPECT_GE(Halvara_UpdateIdentityMsg, 0xC000u);
    EXPECT_NE(Halvara_UpdateContactsMsg, Halvara_UpdateIdentityMsg);
    // The same numbers every other process of the session gets for the names.
    EXPECT_EQ(Halvara_UpdateContactsMsg,
              platform::MessageBus::RegisterMessage("Halvara: update contacts"));
    EXPECT_EQ(Halvara_UpdateIdentityMsg,
              platform::MessageBus::RegisterMessage("Halvara: update identity"));
}

} // namespace
