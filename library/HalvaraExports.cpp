// The exported Halvara_ functions: the not-ready rule, then the client object.
// No export lets an exception reach the caller.

#include "HalvaraClient.h"
#include "UserMessages.h"
#include "halvara.h"
#include "platform/MessageBus.h"

#include <atomic>
#include <exception>
#include <mutex>

unsigned int Halvara_UpdateContactsMsg = 0;
unsigned int Halvara_UpdateIdentityMsg = 0;

namespace {

// The loading icon's callback message; registered for the session like the
// others, though the Qt icon reports clicks through its own signal.
unsigned int g_iconUpdateMsg = 0;

// Registered before any export can be called, as applications compare incoming
// message numbers with the exported words.
__attribute__((constructor)) void RegisterMessages() {
    try {
        Halvara_UpdateContactsMsg =
            platform::MessageBus::RegisterMessage("Halvara: update contacts");
        Halvara_UpdateIdentityMsg =
            platform::MessageBus::RegisterMessage("Halvara: update identity");
        g_iconUpdateMsg = platform::MessageBus::RegisterMessage("Halvara: icon update");
    } catch (const std::exception&) {
        // No session namespace: the words stay 0 and no message will match.
    }
}

std::mutex g_initializeMutex;
bool g_initializeCalled = false;
int g_initializeResult = 0;
// Raised by Halvara_CancelInitialize while the first initialisation runs; the
// client's waits for the service look at it. Lowered again when that
// initialisation returns, so a cancel at any other time changes nothing.
std::atomic<bool> g_cancelInitialize{false};
std::mutex g_pendingMutex;
bool g_initializePending = false;

void SetInitializePending(bool pending) {
    std::lock_guard lock(g_pendingMutex);
    g_initializePending = pending;
    g_cancelInitialize.store(false);
}
// Made once by the first Halvara_Initialize and kept for the life of the
// process; other threads may already use it while that call goes on.
std::atomic<HalvaraClient*> g_client{nullptr};

UserMessages& Messages() {
    static UserMessages* messages = MakeUserMessages().release();
    return *messages;
}

HalvaraClient* Ready() {
    return g_client.load(std::memory_order_acquire);
}

// Runs the operation on the client, or answers `notReady` without a client.
// Anything thrown (out of memory, a broken namespace) counts as a channel error.
template <typename Result, typename Operation>
Result Call(Result notReady, Result channelError, Operation operation) {
    HalvaraClient* client = Ready();
    if (!client)
        return notReady;
    try {
        return operation(*client);
    } catch (...) {
        return channelError;
    }
}

// Only the first initialisation of either kind does anything; later calls of
// both return its result.
template <typename Steps>
int InitializeOnce(Steps steps) {
    std::lock_guard lock(g_initializeMutex);
    if (g_initializeCalled)
        return g_initializeResult;
    g_initializeCalled = true;
    SetInitializePending(true);
    int result = 0;
    try {
        HalvaraClient* client = Ready();
        if (!client) {
            client = new HalvaraClient(Messages());
            client->SetStopFlag(&g_cancelInitialize);
            g_client.store(client, std::memory_order_release);
        }
        result = steps(*client);
    } catch (...) {
        // The client object could not be made: every export stays not ready.
        result = 0;
    }
    SetInitializePending(false);
    g_initializeResult = result;
    return result;
}

} // namespace

extern "C" {

int Halvara_Initialize(HalvaraWindow parent, int applicationId) {
    return InitializeOnce([&](HalvaraClient& c) { return c.Initialize(parent, applicationId); });
}

int Halvara_InitializeHeadless(int applicationId) {
    return InitializeOnce([&](HalvaraClient& c) { return c.InitializeHeadless(applicationId); });
}

int Halvara_CancelInitialize(void) {
    std::lock_guard lock(g_pendingMutex);
    if (!g_initializePending)
        return 0;
    g_cancelInitialize.store(true);
    return 1;
}

int Halvara_Deallocate(int applicationId) {
    return Call(0, 1, [&](HalvaraClient& c) { return c.Deallocate(applicationId); });
}

HalvaraWindow Halvara_SetParentWindow(HalvaraWindow window) {
    return Call<HalvaraWindow>(nullptr, nullptr,
                               [&](HalvaraClient& c) { return c.SetParentWindow(window); });
}

int Halvara_FlushData(void) {
    return Call(0, 0, [](HalvaraClient& c) { return c.FlushData(); });
}

int Halvara_Add(const char* applicationName, const char* applicationWebAddress, int applicationId) {
    return Call(0, 0, [&](HalvaraClient& c) {
        return c.Add(applicationName, applicationWebAddress, applicationId);
    });
}

int Halvara_AddID(int friendId) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.AddID(friendId); });
}

int Halvara_Delete(int friendId) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.Delete(friendId); });
}

int Halvara_GetFriend(int index) {
    return Call(-1, 0, [&](HalvaraClient& c) { return c.GetFriend(index); });
}

int Halvara_GetAcquaintance(int index) {
    return Call(-1, 0, [&](HalvaraClient& c) { return c.GetAcquaintance(index); });
}

int Halvara_GetProfile(int id, PersonalInfo* destination) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.GetProfile(id, destination); });
}

int Halvara_LookupProfile(int id, PersonalInfo* destination) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.LookupProfile(id, destination); });
}

int Halvara_GetMyProfile(PersonalInfo* destination) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.GetMyProfile(destination); });
}

int Halvara_SetMyProfile(PersonalInfo profile) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.SetMyProfile(profile); });
}

int Halvara_LookupID(const char* eMail) {
    return Call(-1, 0, [&](HalvaraClient& c) { return c.LookupID(eMail); });
}

int Halvara_IsOnline(int id, int tos, int mode) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.IsOnline(id, tos, mode); });
}

int Halvara_GetIP(int id, char* buffer, int size) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.GetIP(id, buffer, size); });
}

int Halvara_GetMyID(void) {
    return Call(-1, 0, [](HalvaraClient& c) { return c.GetMyID(); });
}

int Halvara_SendInvitation(const char* friendEMail, const char* applicationName,
                           const char* applicationWebAddress, int applicationId) {
    return Call(0, 0, [&](HalvaraClient& c) {
        return c.SendInvitation(friendEMail, applicationName, applicationWebAddress, applicationId);
    });
}

int Halvara_AddAnonAcquaintances(int count, int tos) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.AddAnonAcquaintances(count, tos); });
}

int Halvara_GetAnonAcquaintances(int tos, int refresh, char* buffer, int size) {
    return Call(
        0, 0, [&](HalvaraClient& c) { return c.GetAnonAcquaintances(tos, refresh, buffer, size); });
}

int Halvara_CheckFriendsOnline(int tos, HalvaraFriendChecks* checks) {
    if (!checks || checks->version != HALVARA_FRIEND_CHECKS_VERSION || !checks->entries ||
        checks->capacity < 1 || checks->capacity > HALVARA_FRIEND_CHECKS_MAX)
        return 0;
    checks->count = 0;
    return Call(0, 0, [&](HalvaraClient& c) {
        return c.CheckFriendsOnline(tos, checks->entries, checks->capacity, checks->count);
    });
}

int Halvara_UpdateTOS(int tos, int on) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.UpdateTOS(tos, on); });
}

int Halvara_NumActiveTOS(void) {
    return Call(-1, 0, [](HalvaraClient& c) { return c.NumActiveTOS(); });
}

int Halvara_ChangeIdentity(void) {
    return Call(0, 0, [](HalvaraClient& c) { return c.ChangeIdentity(); });
}

int Halvara_GetHighestIdentity(void) {
    return Call(-1, 0, [](HalvaraClient& c) { return c.GetHighestIdentity(); });
}

int Halvara_GetActiveIdentity(void) {
    return Call(0, 0, [](HalvaraClient& c) { return c.GetActiveIdentity(); });
}

int Halvara_GetIdentity(int index, char* buffer, int size) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.GetIdentity(index, buffer, size); });
}

int Halvara_SetIdentity(int index, const char* password) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.SetIdentity(index, password); });
}

int Halvara_DeleteIdentity(int index) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.DeleteIdentity(index); });
}

int Halvara_AddIdentity(void) {
    return Call(0, 0, [](HalvaraClient& c) { return c.AddIdentity(); });
}

int Halvara_IsIdentityTaken(const char* eMail) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.IsIdentityTaken(eMail); });
}

int Halvara_AddAcquaintance(int id) {
    return Call(0, 0, [&](HalvaraClient& c) { return c.AddAcquaintance(id); });
}

int Halvara_RegisterIdentityHeadless(const char* name, const char* eMail, const char* password) {
    return Call(HALVARA_REGISTER_NOT_READY, HALVARA_REGISTER_SERVICE_FAILED, [&](HalvaraClient& c) {
        return c.RegisterIdentityHeadless(name, eMail, password);
    });
}

int Halvara_GetSystemMessageHeadless(int applicationId, char* title, int titleSize, char* text,
                                     int textSize) {
    return Call(-1, -1, [&](HalvaraClient& c) {
        return c.GetSystemMessageHeadless(applicationId, title, titleSize, text, textSize);
    });
}

} // extern "C"
