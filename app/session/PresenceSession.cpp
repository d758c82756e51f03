#include "PresenceSession.h"

#include "AddressText.h"
#include "app/peer/wire/PeerWire.h"
#include "halvara.h"

#include <array>
#include <chrono>
#include <cstring>

PresenceSession::PresenceSession(int tos, Hold hold)
    : m_tos(tos)
    , m_hold(hold) {}

namespace {

// How often a cancel is repeated while the start has not answered.
constexpr std::chrono::milliseconds kCancelRepeat{20};

} // namespace

PresenceSession::~PresenceSession() {
    CancelPendingStart();
    Close();
}

bool PresenceSession::Start() {
    std::call_once(m_started, [this] { StartOnce(); });
    return Registered();
}

void PresenceSession::StartOnce() {
    // Either start registers the TOS number by itself when the identity is
    // registered; otherwise it fails but leaves the library ready for
    // registering by hand.
    const auto parent = static_cast<HalvaraWindow>(m_parentWindow);
    bool registered = false;
    if (!m_cancelled.load())
        registered =
            (parent ? Halvara_Initialize(parent, m_tos) : Halvara_InitializeHeadless(m_tos)) != 0;
    const bool holding = registered || (m_hold == Hold::EvenUnregistered && !m_cancelled.load() &&
                                        Halvara_UpdateTOS(m_tos, 1) != 0);
    if (registered && parent && !m_cancelled.load())
        Halvara_AddAnonAcquaintances(kAnonymousAcquaintancesAsked, m_tos);
    m_holding.store(holding);
    m_state.store(registered ? kRegistered : kUnregistered);
}

void PresenceSession::StartInBackground(std::function<void(bool registered)> answered) {
    if (m_startThread.joinable())
        return;
    m_startThread = std::thread([this, answered = std::move(answered)] {
        const bool registered = Start();
        if (answered)
            answered(registered);
    });
}

void PresenceSession::CancelPendingStart() {
    m_cancelled.store(true);
    if (!m_startThread.joinable() || m_startThread.get_id() == std::this_thread::get_id())
        return;
    // The library only cancels a start it is running: one that is about to
    // enter it is asked again until the start has answered.
    while (!HasAnswered()) {
        Halvara_CancelInitialize();
        std::this_thread::sleep_for(kCancelRepeat);
    }
    m_startThread.join();
}

void PresenceSession::LetGoOfPendingStart() {
    if (m_startThread.joinable() && !HasAnswered())
        m_startThread.detach();
}

void PresenceSession::Close() {
    if (m_holding.exchange(false))
        Halvara_Deallocate(m_tos);
}

bool PresenceSession::IsInitialized() {
    // The library keeps its client object after a failed start and would
    // still try the channel, so only a registered start counts.
    return Registered();
}

std::string PresenceSession::AddressOfId(int id) {
    std::array<char, 32> buffer{};
    if (Halvara_GetIP(id, buffer.data(), static_cast<int>(buffer.size())) == 0)
        return {};
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

std::string PresenceSession::MyAddress() {
    if (!IsInitialized())
        return {};
    const int me = Halvara_GetMyID();
    if (me <= 0)
        return {};
    return AddressOfId(me);
}

std::string PresenceSession::MyName() {
    if (!IsInitialized())
        return {};
    PersonalInfo profile{};
    if (Halvara_GetMyProfile(&profile) == 0)
        return {};
    return FieldText(profile.eMail);
}

std::vector<std::string> PresenceSession::FriendAddresses() {
    std::vector<std::string> addresses;
    if (!IsInitialized())
        return addresses;
    const int me = Halvara_GetMyID();
    for (int index = 0; index < kFriendLimit; ++index) {
        const int id = Halvara_GetFriend(index);
        // Negative past the end; 0 when the exchange failed, which ends the
        // walk too, as every later index would fail the same way.
        if (id <= 0)
            break;
        if (id == me)
            continue;
        addresses.push_back(AddressOfId(id));
    }
    return addresses;
}

std::optional<std::vector<std::string>> PresenceSession::AnonymousAddresses(bool refresh) {
    if (!IsInitialized())
        return std::nullopt;
    // The first call only sizes the text (and refreshes when asked); the list
    // may grow between the calls, so a too-small answer is asked again a few
    // times, never with a buffer past the limit.
    char probe = 0;
    int wanted = Halvara_GetAnonAcquaintances(m_tos, refresh ? 1 : 0, &probe, 1);
    if (wanted <= 0)
        return std::nullopt;
    if (wanted == 1)
        return std::vector<std::string>{};
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (wanted > kAnonymousTextLimit)
            return std::nullopt;
        std::vector<char> buffer(static_cast<std::size_t>(wanted), '\0');
        const int got = Halvara_GetAnonAcquaintances(m_tos, 0, buffer.data(), wanted);
        if (got <= 0)
            return std::nullopt;
        if (got <= wanted - 1) {
            // n + 1 was copied with its terminator.
            return SplitAddressList(
                std::string(buffer.data(), strnlen(buffer.data(), buffer.size())));
        }
        wanted = got;
    }
    return std::nullopt;
}

std::string PresenceSession::Fail(const std::string& why) {
    std::lock_guard lock(m_failureMutex);
    m_failure = why;
    return {};
}

std::string PresenceSession::Failure() const {
    std::lock_guard lock(m_failureMutex);
    return m_failure;
}

std::string PresenceSession::AddressOf(const std::string& email) {
    Fail("");
    if (!Start())
        return Fail("the presence service is not available (halvserve could not be reached, or "
                    "this user has no registered identity), so " +
                    email + " cannot be found");
    for (int index = 0; index < kFriendLimit; ++index) {
        const int id = Halvara_GetFriend(index);
        // Negative past the end of the list; 0 when the exchange failed.
        if (id < 0)
            break;
        if (id == 0)
            return Fail("the presence service stopped answering while the friends list was read");
        PersonalInfo profile{};
        if (Halvara_GetProfile(id, &profile) == 0 || FieldText(profile.eMail) != email)
            continue;
        if (Halvara_IsOnline(id, m_tos, 1) == 0)
            return Fail(email + " is not online with Drovick");
        std::array<char, 32> address{};
        if (Halvara_GetIP(id, address.data(), static_cast<int>(address.size())) == 0)
            return Fail("the presence service gave no address for " + email);
        const std::string dotted(address.data(), strnlen(address.data(), address.size()));
        if (!AddressBytes(dotted) || dotted == "0.0.0.0")
            return Fail(email + " is not online");
        return dotted;
    }
    return Fail(email + " is not among this user's friends");
}

bool PresenceSession::OwnName(std::string& name) {
    PersonalInfo profile{};
    if (!Start() || Halvara_GetMyProfile(&profile) == 0)
        return false;
    name = FieldText(profile.name);
    return true;
}
