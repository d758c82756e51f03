#include "PresenceDirectoryOverLibrary.h"

#include "halvara.h"

#include <array>
#include <cstring>

PresenceDirectoryOverLibrary::PresenceDirectoryOverLibrary(int tos)
    : m_tos(tos) {}

PresenceDirectoryOverLibrary::~PresenceDirectoryOverLibrary() {
    if (m_state.load() == kReady)
        Halvara_Deallocate(m_tos);
}

bool PresenceDirectoryOverLibrary::Initialize() {
    if (m_asked.exchange(true))
        return m_state.load() == kReady;
    const bool ready = Halvara_InitializeHeadless(m_tos) != 0;
    m_state.store(ready ? kReady : kFailed);
    return ready;
}

bool PresenceDirectoryOverLibrary::IsInitialized() {
    // The library keeps its client object after a failed start and would
    // still try the channel, so only a successful start counts.
    return m_state.load() == kReady;
}

std::string PresenceDirectoryOverLibrary::AddressOf(int id) {
    std::array<char, 32> buffer{};
    if (Halvara_GetIP(id, buffer.data(), static_cast<int>(buffer.size())) == 0)
        return {};
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

std::string PresenceDirectoryOverLibrary::MyAddress() {
    if (!IsInitialized())
        return {};
    const int me = Halvara_GetMyID();
    if (me <= 0)
        return {};
    return AddressOf(me);
}

std::string PresenceDirectoryOverLibrary::MyName() {
    if (!IsInitialized())
        return {};
    PersonalInfo profile{};
    if (Halvara_GetMyProfile(&profile) == 0)
        return {};
    return std::string(profile.eMail, strnlen(profile.eMail, sizeof profile.eMail));
}

std::vector<std::string> PresenceDirectoryOverLibrary::FriendAddresses() {
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
        addresses.push_back(AddressOf(id));
    }
    return addresses;
}

std::optional<std::vector<std::string>>
PresenceDirectoryOverLibrary::AnonymousAddresses(bool refresh) {
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

std::vector<std::string> SplitAddressList(const std::string& text) {
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            addresses.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return addresses;
}
