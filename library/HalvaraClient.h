#pragma once

#include "halvara.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class BridgeRecord;
class MemoryChannel;
class UserMessages;

// The library's client object: the client end of the bridge channel and the
// state of one application (parent window, application id). Each operation is
// one exchange with halvserve and returns exactly what its export returns; the
// not-ready checks live in the exports, which own the one process-wide client.
//
// Every exchange ends the channel's exchange again whatever failed, so a broken
// call never keeps the call lock that serialises all client processes.
class HalvaraClient {
public:
    // Opens the channel (throws when it cannot: the client cannot be made) and
    // launches halvserve unless one runs; a failed launch is shown as a message
    // and the client stays usable, its calls then fail on the channel.
    explicit HalvaraClient(UserMessages& messages);
    ~HalvaraClient();

    HalvaraClient(const HalvaraClient&) = delete;
    HalvaraClient& operator=(const HalvaraClient&) = delete;

    // While *stop is true, a call that waits for the service to come up or
    // for another client to finish gives up (a channel error) and launches
    // nothing; a call whose request is already sent still gets its reply. Set
    // before the client is shared with other threads; the flag must outlive
    // the client.
    void SetStopFlag(const std::atomic<bool>* stop);
    bool Stopped() const { return m_stop != nullptr && m_stop->load(); }

    // One exchange: the request, then the first reply. False on a channel error.
    // When no reply came because no service runs any more (one that was ending
    // when this client started), halvserve is launched again, once per client,
    // and the request repeated.
    bool Transact(const BridgeRecord& request, BridgeRecord& reply);
    // One exchange whose first reply announces further blocks: `more` is called
    // with the first reply and a reader for the next block, while the channel
    // is still held. False when anything failed.
    using BlockReader = std::function<bool(BridgeRecord&)>;
    bool Transact(const BridgeRecord& request, BridgeRecord& reply,
                  const std::function<bool(const BridgeRecord&, const BlockReader&)>& more);

    // Steps of Halvara_Initialize that follow the creation of the client.
    int Initialize(HalvaraWindow parent, int applicationId);
    // The same for a program without windows: nothing is shown, and an
    // identity that is not registered fails it at once.
    int InitializeHeadless(int applicationId);
    int Deallocate(int applicationId);
    HalvaraWindow SetParentWindow(HalvaraWindow window);
    HalvaraWindow ParentWindow() const;
    bool Initialized() const;

    int FlushData();
    int Add(const char* applicationName, const char* applicationWebAddress, int applicationId);
    int AddID(int friendId);
    int Delete(int friendId);
    int GetFriend(int index);
    int GetAcquaintance(int index);
    int GetProfile(int id, PersonalInfo* destination);
    int LookupProfile(int id, PersonalInfo* destination);
    int GetMyProfile(PersonalInfo* destination);
    int SetMyProfile(const PersonalInfo& profile);
    int LookupID(const char* eMail);
    // As LookupID, but a failed exchange reads as an unknown address (-1): what
    // the dialogs show for a service that did not answer.
    int FindID(const char* eMail);
    int IsOnline(int id, int tos, int mode);
    int GetIP(int id, char* buffer, int size);
    int GetMyID();
    int SendInvitation(const char* friendEMail, const char* applicationName,
                       const char* applicationWebAddress, int applicationId);
    int AddAnonAcquaintances(int count, int tos);
    int GetAnonAcquaintances(int tos, int refresh, char* buffer, int size);
    // Fills at most capacity entries (checked by the caller) and count.
    int CheckFriendsOnline(int tos, HalvaraFriendOnline* entries, int capacity, int& count);
    int UpdateTOS(int tos, int on);
    int NumActiveTOS();
    int ChangeIdentity();
    int GetHighestIdentity();
    int GetActiveIdentity();
    int GetIdentity(int index, char* buffer, int size);
    int SetIdentity(int index, const char* password);
    int DeleteIdentity(int index);
    int AddIdentity();
    int IsIdentityTaken(const char* eMail);

    // The exports for programs without windows (halvara.h gives the results).
    int AddAcquaintance(int id);
    int RegisterIdentityHeadless(const char* name, const char* eMail, const char* password);
    int GetSystemMessageHeadless(int applicationId, char* title, int titleSize, char* text,
                                 int textSize);

    // The text Halvara_Initialize shows when the identity is not registered.
    static std::string RegistrationFailureText();
    // Posted to every application after the identity changed.
    static constexpr const char* kUpdateContactsMessage = "Halvara: update contacts";

private:
    // Sends a request that carries only its code and up to three numbers at 4,
    // 8 and 12; the reply lands in `reply`. False on a channel error.
    bool Simple(int code, BridgeRecord& reply, int first = 0, int second = 0, int third = 0);
    // "Done with a non-zero flag at 4", the common result of many commands.
    int DoneFlag(int code, int first = 0, int second = 0, int third = 0);
    // Fetches a profile with command 11; false unless done with its flag set.
    bool FetchProfile(int id, PersonalInfo& profile);
    void ShowSystemMessage(HalvaraWindow owner, const BridgeRecord& reply);
    // Command 14 on the trimmed address; false on a channel error.
    bool LookupExchange(const char* eMail, int& id);
    // The registration wizard owned by the parent window: 1 registered, 0 not.
    int RunRegistration(HalvaraWindow parent);
    // One exchange on the channel; answered tells whether a first reply came.
    bool ExchangeOnce(const BridgeRecord& request, BridgeRecord& reply,
                      const std::function<bool(const BridgeRecord&, const BlockReader&)>& more,
                      bool& answered);

    UserMessages& m_messages;
    std::unique_ptr<MemoryChannel> m_channel;
    const std::atomic<bool>* m_stop = nullptr;
    // Threads of one process take turns here before they compete with other
    // processes for the channel's call lock.
    std::mutex m_exchangeMutex;
    // Whether the service was launched a second time (under m_exchangeMutex).
    bool m_relaunched = false;
    mutable std::mutex m_stateMutex;
    HalvaraWindow m_parentWindow = nullptr;
    int m_applicationId = 0;
    bool m_initialized = false;
};
