#include "HalvaraClient.h"

#include "ClientCallTable.h"
#include "IdentityRegistration.h"
#include "LoadingIcon.h"
#include "UserMessages.h"
#include "bridge/BridgeRecord.h"
#include "bridge/CStdExcept.h"
#include "bridge/MemoryChannel.h"
#include "platform/Environment.h"
#include "platform/MessageBus.h"
#include "platform/SingleInstanceGuard.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <vector>

static_assert(sizeof(PersonalInfo) == PersonalInfoLayout::kSize);
static_assert(offsetof(PersonalInfo, eMail) == PersonalInfoLayout::kEMailOffset);
static_assert(offsetof(PersonalInfo, password) == PersonalInfoLayout::kPasswordOffset);
static_assert(sizeof(PersonalInfo::password) == PersonalInfoLayout::kPasswordWidth);

namespace {

// Argument and result places in the 1024-byte records that BridgeRecord does not
// name itself.
constexpr std::size_t kArg1 = 4;
constexpr std::size_t kArg2 = 8;
constexpr std::size_t kArg3 = 12;
// Command 27: three 128-byte texts, then the application id.
constexpr std::size_t kInviteNameOffset = 132;
constexpr std::size_t kInviteWebOffset = 260;
constexpr std::size_t kInviteIdOffset = 388;
// Command 22's flag follows its 128-byte text.
constexpr std::size_t kIdentityFlagOffset = 132;
// Command 20: the two length-prefixed texts start here.
constexpr std::size_t kSystemMessageOffset = 8;
// Command 30: an announced count above this is a broken reply, and one address
// text is never longer than this.
constexpr int kMaxAnonBlocks = 65536;
constexpr std::size_t kAnonTextWidth = 64;

bool Done(const BridgeRecord& reply) {
    return reply.Code() == kCmdReply;
}

std::string_view Trimmed(const char* text) {
    std::string_view view(text);
    const char* blanks = " \t\r\n";
    std::size_t first = view.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    std::size_t last = view.find_last_not_of(blanks);
    return view.substr(first, last - first + 1);
}

// Reads one int32-length-prefixed text at `offset`; the length counts the NUL.
// Advances `offset` past it. False when the field does not fit the record.
bool ReadCountedText(const BridgeRecord& record, std::size_t& offset, std::string& text) {
    if (offset > BridgeRecord::kSize - 4)
        return false;
    std::int32_t length = record.I32At(offset);
    offset += 4;
    if (length < 1 || static_cast<std::size_t>(length) > BridgeRecord::kSize - offset)
        return false;
    text = record.TextAt(offset, static_cast<std::size_t>(length));
    offset += static_cast<std::size_t>(length);
    return true;
}

} // namespace

HalvaraClient::HalvaraClient(UserMessages& messages)
    : m_messages(messages)
    , m_channel(std::make_unique<MemoryChannel>(MemoryChannel::kClientRole)) {
    m_channel->Open(MemoryChannel::kPageName, 1);
    m_channel->LaunchServiceWhenMissing(true);
    // Launched only when no service holds its guard. A copy launched beside a
    // running service ends at once, unless that service ends first: the copy
    // then becomes a service that no application ever registers with, and it
    // would never end. A running service that is already ending is caught by
    // the relaunch in Transact.
    try {
        if (!platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName))
            m_channel->StartService();
    } catch (const std::exception&) {
        m_messages.ShowError(nullptr, "Could not find Halvara library!", "Severe error");
    }
}

HalvaraClient::~HalvaraClient() {
    try {
        m_channel->Close();
    } catch (const std::exception&) {
    }
}

void HalvaraClient::SetStopFlag(const std::atomic<bool>* stop) {
    m_stop = stop;
    m_channel->SetStopFlag(stop);
}

bool HalvaraClient::Transact(const BridgeRecord& request, BridgeRecord& reply) {
    return Transact(request, reply, {});
}

bool HalvaraClient::Transact(
    const BridgeRecord& request, BridgeRecord& reply,
    const std::function<bool(const BridgeRecord&, const BlockReader&)>& more) {
    std::lock_guard turn(m_exchangeMutex);
    bool answered = false;
    if (ExchangeOnce(request, reply, more, answered))
        return true;
    // A service that was still ending when this client launched its own made
    // that launch end at once (one instance only), and then ended itself: no
    // service is left, and the request was read by nobody. One new launch
    // brings one up. Only when no reply came, so no answer is taken twice, and
    // only once, so a service that cannot start costs one more start-up wait.
    // A caller that was told to stop waiting launches nothing more.
    if (answered || m_relaunched || Stopped() ||
        platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName))
        return false;
    m_relaunched = true;
    try {
        m_channel->StartService();
    } catch (const std::exception&) {
        return false;
    }
    return ExchangeOnce(request, reply, more, answered);
}

bool HalvaraClient::ExchangeOnce(
    const BridgeRecord& request, BridgeRecord& reply,
    const std::function<bool(const BridgeRecord&, const BlockReader&)>& more, bool& answered) {
    answered = false;
    try {
        m_channel->BeginExchange();
    } catch (const std::exception&) {
        // The call lock was never taken, so there is nothing to give back.
        return false;
    }
    bool ok = false;
    try {
        m_channel->Send(request.Data(), BridgeRecord::kSize);
        BlockReader read = [this](BridgeRecord& block) {
            return m_channel->Receive(block.Data(), BridgeRecord::kSize) ==
                   static_cast<int>(BridgeRecord::kSize);
        };
        answered = read(reply);
        ok = answered && (!more || more(reply, read));
    } catch (const std::exception&) {
        ok = false;
    }
    try {
        m_channel->EndExchange();
    } catch (const std::exception&) {
        ok = false;
    }
    return ok;
}

bool HalvaraClient::Simple(int code, BridgeRecord& reply, int first, int second, int third) {
    BridgeRecord request;
    request.SetCode(code);
    request.SetI32At(kArg1, first);
    request.SetI32At(kArg2, second);
    request.SetI32At(kArg3, third);
    return Transact(request, reply);
}

int HalvaraClient::DoneFlag(int code, int first, int second, int third) {
    BridgeRecord reply;
    if (!Simple(code, reply, first, second, third))
        return 0;
    return Done(reply) && reply.I32At(kArg1) != 0 ? 1 : 0;
}

std::string HalvaraClient::RegistrationFailureText() {
    const std::string host = platform::DirectoryHost();
    return "Cannot register Halvara; make sure\nyou fill out your registration and are "
           "connected to the Internet.\nFor more information, or to report a problem, visit "
           "http://" +
           host + "/support";
}

int HalvaraClient::Initialize(HalvaraWindow parent, int applicationId) {
    {
        std::lock_guard lock(m_stateMutex);
        m_initialized = true;
        m_applicationId = applicationId;
    }
    LoadingIcon icon(m_messages);
    SetParentWindow(parent);

    bool registered = false;
    if (parent) {
        registered = DoneFlag(kCmdIsRegistered) != 0;
        if (!registered)
            registered = RunRegistration(parent) == 1;
    }
    if (registered) {
        UpdateTOS(applicationId, 1);
        icon.Remove();
        return 1;
    }
    icon.Remove();
    // A start given up at quit has nothing to tell the user.
    if (parent && !Stopped())
        m_messages.ShowError(parent, RegistrationFailureText(), "Halvara");
    return 0;
}

int HalvaraClient::InitializeHeadless(int applicationId) {
    {
        std::lock_guard lock(m_stateMutex);
        m_initialized = true;
        m_applicationId = applicationId;
    }
    // Nobody could fill out a registration here, so an unregistered identity
    // ends it; the window version's wizard is not offered.
    if (DoneFlag(kCmdIsRegistered) == 0)
        return 0;
    UpdateTOS(applicationId, 1);
    return 1;
}

int HalvaraClient::Deallocate(int applicationId) {
    // Without a service there is nothing to unregister from (the registration
    // ended with it), and launching one only to unregister would hold up the
    // application's exit.
    if (!platform::SingleInstanceGuard::IsHeld(MemoryChannel::kServiceGuardName))
        return 1;
    FlushData();
    UpdateTOS(applicationId, 0);
    return 1;
}

HalvaraWindow HalvaraClient::SetParentWindow(HalvaraWindow window) {
    HalvaraWindow previous;
    int applicationId;
    {
        std::lock_guard lock(m_stateMutex);
        previous = m_parentWindow;
        m_parentWindow = window;
        applicationId = m_applicationId;
    }
    BridgeRecord reply;
    if (Simple(kCmdSystemMessage, reply, applicationId) && Done(reply) && reply.I32At(kArg1) != 0 &&
        window)
        ShowSystemMessage(window, reply);
    return previous;
}

void HalvaraClient::ShowSystemMessage(HalvaraWindow owner, const BridgeRecord& reply) {
    std::size_t offset = kSystemMessageOffset;
    std::string title;
    std::string text;
    if (ReadCountedText(reply, offset, title) && ReadCountedText(reply, offset, text))
        m_messages.ShowSystemMessage(owner, title, text);
}

HalvaraWindow HalvaraClient::ParentWindow() const {
    std::lock_guard lock(m_stateMutex);
    return m_parentWindow;
}

bool HalvaraClient::Initialized() const {
    std::lock_guard lock(m_stateMutex);
    return m_initialized;
}

int HalvaraClient::FlushData() {
    return DoneFlag(kCmdFlushData);
}

int HalvaraClient::Add(const char* applicationName, const char* applicationWebAddress,
                       int applicationId) {
    const HalvaraWindow parent = ParentWindow();
    if (!parent)
        return 0;
    // The dialog adds the friend found itself (command 7), off its window's thread.
    const HalvaraQtClientCalls calls = ClientCallTable(*this);
    return m_messages.FindFriend(parent, calls, applicationName ? applicationName : "",
                                 applicationWebAddress ? applicationWebAddress : "",
                                 applicationId) == 1
               ? 1
               : 0;
}

int HalvaraClient::AddID(int friendId) {
    return DoneFlag(kCmdAdd, friendId, 1);
}

int HalvaraClient::Delete(int friendId) {
    return DoneFlag(kCmdDelete, friendId);
}

int HalvaraClient::GetFriend(int index) {
    BridgeRecord reply;
    return Simple(kCmdGetFriend, reply, index) ? reply.I32At(kArg1) : 0;
}

int HalvaraClient::GetAcquaintance(int index) {
    BridgeRecord reply;
    return Simple(kCmdGetAcquaintance, reply, index) ? reply.I32At(kArg1) : 0;
}

bool HalvaraClient::FetchProfile(int id, PersonalInfo& profile) {
    BridgeRecord reply;
    if (!Simple(kCmdGetProfile, reply, id) || !Done(reply) || reply.I32At(kArg1) == 0)
        return false;
    reply.CopyOut(BridgeRecord::kProfileReplyOffset, &profile, sizeof profile);
    return true;
}

int HalvaraClient::GetProfile(int id, PersonalInfo* destination) {
    if (!destination)
        return 0;
    PersonalInfo profile{};
    if (!FetchProfile(id, profile))
        return 0;
    std::memcpy(destination, &profile, sizeof profile);
    return 1;
}

int HalvaraClient::LookupProfile(int id, PersonalInfo* destination) {
    if (!destination)
        return 0;
    BridgeRecord reply;
    if (!Simple(kCmdLookupProfile, reply, id)) {
        std::memset(destination, 0, sizeof *destination);
        return 0;
    }
    reply.CopyOut(BridgeRecord::kProfileReplyOffset, destination, sizeof *destination);
    return Done(reply) && reply.I32At(kArg1) != 0 ? 1 : 0;
}

int HalvaraClient::GetMyProfile(PersonalInfo* destination) {
    if (!destination)
        return 0;
    PersonalInfo profile{};
    int fetched = FetchProfile(GetMyID(), profile) ? 1 : 0;
    // The password never leaves the library through this call.
    std::memset(profile.password, 0, sizeof profile.password);
    std::memcpy(destination, &profile, sizeof profile);
    return fetched;
}

int HalvaraClient::SetMyProfile(const PersonalInfo& profile) {
    PersonalInfo stored{};
    // Without the stored password the record would carry whatever the caller
    // put there, so nothing is sent.
    if (!FetchProfile(GetMyID(), stored))
        return 0;
    PersonalInfo outgoing = profile;
    std::memcpy(outgoing.password, stored.password, sizeof outgoing.password);
    BridgeRecord request;
    request.SetCode(kCmdSetMyProfile);
    request.CopyIn(BridgeRecord::kProfileRequestOffset, &outgoing, sizeof outgoing);
    std::memset(&stored, 0, sizeof stored);
    std::memset(&outgoing, 0, sizeof outgoing);
    BridgeRecord reply;
    bool ok = Transact(request, reply) && Done(reply) && reply.I32At(kArg1) != 0;
    // The reply echoes the request, password included.
    request.Zero(BridgeRecord::kProfileRequestOffset, sizeof outgoing);
    reply.Zero(BridgeRecord::kProfileRequestOffset, sizeof outgoing);
    return ok ? 1 : 0;
}

bool HalvaraClient::LookupExchange(const char* eMail, int& id) {
    BridgeRecord request;
    request.SetCode(kCmdLookupID);
    request.SetTextAt(kArg1, Trimmed(eMail));
    BridgeRecord reply;
    if (!Transact(request, reply))
        return false;
    id = reply.I32At(kArg1);
    return true;
}

int HalvaraClient::LookupID(const char* eMail) {
    if (!eMail)
        return -1;
    int id = 0;
    return LookupExchange(eMail, id) ? id : 0;
}

int HalvaraClient::FindID(const char* eMail) {
    int id = -1;
    return eMail && LookupExchange(eMail, id) ? id : -1;
}

int HalvaraClient::IsIdentityTaken(const char* eMail) {
    if (!eMail)
        return 0;
    BridgeRecord request;
    request.SetCode(kCmdIsIdentityTaken);
    request.SetTextAt(kArg1, Trimmed(eMail));
    BridgeRecord reply;
    return Transact(request, reply) && Done(reply) && reply.I32At(kArg1) != 0 ? 1 : 0;
}

int HalvaraClient::IsOnline(int id, int tos, int mode) {
    return DoneFlag(kCmdIsOnline, id, tos, mode);
}

int HalvaraClient::GetIP(int id, char* buffer, int size) {
    // The longest dotted quad and its terminator need 16 bytes; callers are
    // held to the 24 every application passes.
    if (!buffer || size <= 23)
        return 0;
    BridgeRecord reply;
    if (!Simple(kCmdGetIP, reply, id))
        return 0;
    // The 20-byte field bounds the text to 19 characters, well inside the buffer.
    std::string address = reply.TextAt(BridgeRecord::kAddressOffset, BridgeRecord::kAddressWidth);
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    std::memcpy(buffer, address.data(), address.size());
    return Done(reply) && reply.I32At(kArg1) != 0 ? 1 : 0;
}

int HalvaraClient::GetMyID() {
    BridgeRecord reply;
    return Simple(kCmdGetMyID, reply) ? reply.I32At(kArg1) : 0;
}

int HalvaraClient::SendInvitation(const char* friendEMail, const char* applicationName,
                                  const char* applicationWebAddress, int applicationId) {
    if (!friendEMail)
        return 0;
    BridgeRecord request;
    request.SetCode(kCmdSendInvitation);
    request.SetTextAt(kArg1, friendEMail);
    request.SetTextAt(kInviteNameOffset, applicationName ? applicationName : "");
    request.SetTextAt(kInviteWebOffset, applicationWebAddress ? applicationWebAddress : "");
    request.SetI32At(kInviteIdOffset, applicationId);
    BridgeRecord reply;
    return Transact(request, reply) && Done(reply) && reply.I32At(kArg1) != 0 ? 1 : 0;
}

int HalvaraClient::AddAnonAcquaintances(int count, int tos) {
    return DoneFlag(kCmdAddAnonAcquaintances, count, tos);
}

int HalvaraClient::GetAnonAcquaintances(int tos, int refresh, char* buffer, int size) {
    if (!buffer || size <= 0)
        return 0;
    BridgeRecord request;
    request.SetCode(kCmdGetAnonAcquaintances);
    request.SetI32At(kArg1, tos);
    request.SetI32At(kArg2, refresh);
    BridgeRecord reply;
    std::string joined;
    // Every announced block is read inside this exchange, or the next caller
    // would find them in its place.
    bool ok = Transact(request, reply, [&](const BridgeRecord& first, const BlockReader& read) {
        std::int32_t count = first.I32At(kArg2);
        if (count < 0 || count > kMaxAnonBlocks)
            return false;
        BridgeRecord block;
        for (std::int32_t i = 0; i < count; ++i) {
            if (!read(block))
                return false;
            if (i > 0)
                joined += ' ';
            joined += block.TextAt(0, kAnonTextWidth);
        }
        return true;
    });
    if (!ok || !Done(reply) || reply.I32At(kArg1) == 0)
        return 0;
    const auto length = static_cast<int>(joined.size());
    if (size < length + 2)
        return length + 2;
    std::memcpy(buffer, joined.c_str(), joined.size() + 1);
    return length + 1;
}

int HalvaraClient::CheckFriendsOnline(int tos, HalvaraFriendOnline* entries, int capacity,
                                      int& count) {
    namespace Layout = FriendChecksLayout;
    BridgeRecord request;
    request.SetCode(kCmdCheckFriendsOnline);
    request.SetI32At(kArg1, tos);
    request.SetI32At(kArg2, capacity);
    BridgeRecord reply;
    std::vector<HalvaraFriendOnline> answers;
    // Every announced block is read inside this exchange, or the next caller
    // would find them in its place; a count beyond what was asked is broken,
    // and only what fits the caller's room is kept.
    const bool ok = Transact(request, reply, [&](const BridgeRecord& first, const BlockReader& read) {
        const std::int32_t announced = first.I32At(kArg2);
        if (announced < 0 || announced > Layout::kMaxChecks)
            return false;
        answers.reserve(static_cast<std::size_t>(std::min(announced, capacity)));
        BridgeRecord block;
        for (std::int32_t i = 0; i < announced; ++i) {
            const std::size_t slot = static_cast<std::size_t>(i) % Layout::kPairsPerRecord;
            if (slot == 0 && !read(block))
                return false;
            const std::size_t at = slot * Layout::kPairSize;
            if (i < capacity)
                answers.push_back({block.I32At(at), block.I32At(at + 4) != 0 ? 1 : 0});
        }
        return announced <= capacity;
    });
    if (!ok || !Done(reply) || reply.I32At(kArg1) == 0)
        return 0;
    std::copy(answers.begin(), answers.end(), entries);
    count = static_cast<int>(answers.size());
    return 1;
}

int HalvaraClient::UpdateTOS(int tos, int on) {
    return DoneFlag(kCmdUpdateTOS, tos, on ? 1 : 0);
}

int HalvaraClient::NumActiveTOS() {
    BridgeRecord reply;
    return Simple(kCmdNumActiveTOS, reply) ? reply.I32At(kArg1) : 0;
}

int HalvaraClient::ChangeIdentity() {
    const HalvaraWindow parent = ParentWindow();
    if (!parent)
        return 0;
    // The dialog sends command 21 itself, off its window's thread.
    const int answer = m_messages.ChangeIdentity(parent, ClientCallTable(*this));
    if (answer == 1) {
        try {
            platform::MessageBus::PostToAll(
                platform::MessageBus::RegisterMessage(kUpdateContactsMessage));
        } catch (const std::exception&) {
            // No session bus: the applications re-read their lists at their next start.
        }
        return 1;
    }
    if (answer == 0)
        m_messages.ShowError(parent,
                             "Unable to change your identity.\nMake sure you typed your "
                             "password correctly.",
                             "Change Identity");
    return 0;
}

int HalvaraClient::GetHighestIdentity() {
    BridgeRecord reply;
    if (!Simple(kCmdGetHighestIdentity, reply))
        return 0;
    return reply.I32At(kArg2) != 0 ? reply.I32At(kArg1) : -1;
}

int HalvaraClient::GetActiveIdentity() {
    BridgeRecord reply;
    if (!Simple(kCmdGetActiveIdentity, reply))
        return 0;
    return reply.I32At(kArg2) != 0 ? reply.I32At(kArg1) : -1;
}

int HalvaraClient::GetIdentity(int index, char* buffer, int size) {
    if (!buffer || size < 120)
        return 0;
    BridgeRecord reply;
    if (!Simple(kCmdGetIdentity, reply, index))
        return 0;
    std::string text = reply.TextAt(kArg1);
    text.resize(std::min(text.size(), static_cast<std::size_t>(size - 1)));
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    std::memcpy(buffer, text.data(), text.size());
    return Done(reply) && reply.I32At(kIdentityFlagOffset) != 0 && !text.empty() ? 1 : 0;
}

int HalvaraClient::SetIdentity(int index, const char* password) {
    if (!password)
        return 0;
    BridgeRecord request;
    request.SetCode(kCmdSetIdentity);
    request.SetI32At(kArg1, index);
    request.SetTextAt(kArg2, password);
    BridgeRecord reply;
    bool ok = Transact(request, reply);
    request.Zero(kArg2, BridgeRecord::kTextWidth);
    return ok ? reply.I32At(kArg1) : 0;
}

int HalvaraClient::DeleteIdentity(int index) {
    BridgeRecord active;
    // Without knowing the active identity nothing may be deleted.
    if (!Simple(kCmdGetActiveIdentity, active))
        return 0;
    if (active.I32At(kArg2) != 0 && active.I32At(kArg1) == index)
        return 0;
    BridgeRecord reply;
    return Simple(kCmdDeleteIdentity, reply, index) ? reply.I32At(kArg1) : 0;
}

int HalvaraClient::AddIdentity() {
    const HalvaraWindow parent = ParentWindow();
    return parent ? RunRegistration(parent) : 0;
}

int HalvaraClient::RunRegistration(HalvaraWindow parent) {
    // The plugin probes the directory first and shows no wizard without it.
    return m_messages.RegisterIdentity(parent, ClientCallTable(*this)) == 1 ? 1 : 0;
}

int HalvaraClient::AddAcquaintance(int id) {
    return DoneFlag(kCmdAdd, id, 0);
}

int HalvaraClient::RegisterIdentityHeadless(const char* name, const char* eMail,
                                            const char* password) {
    if (!name || !eMail || !password)
        return static_cast<int>(IdentityRegistration::Outcome::BadInput);
    IdentityRegistration registration(*this);
    return static_cast<int>(registration.Register(name, eMail, password));
}

int HalvaraClient::GetSystemMessageHeadless(int applicationId, char* title, int titleSize,
                                            char* text, int textSize) {
    // Each text comes out of one 1024-byte record, so buffers of that size
    // always hold it: a smaller one is refused before the message, which is
    // handed out only once, is fetched.
    constexpr int kLeast = static_cast<int>(BridgeRecord::kSize);
    if (!title || !text || titleSize < kLeast || textSize < kLeast)
        return -2;
    BridgeRecord reply;
    if (!Simple(kCmdSystemMessage, reply, applicationId) || !Done(reply))
        return -1;
    std::memset(title, 0, static_cast<std::size_t>(titleSize));
    std::memset(text, 0, static_cast<std::size_t>(textSize));
    if (reply.I32At(kArg1) == 0)
        return 0;
    std::size_t offset = kSystemMessageOffset;
    std::string titleText;
    std::string messageText;
    if (!ReadCountedText(reply, offset, titleText) || !ReadCountedText(reply, offset, messageText))
        return -1;
    std::memcpy(title, titleText.data(), titleText.size());
    std::memcpy(text, messageText.data(), messageText.size());
    return 1;
}
