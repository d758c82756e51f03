#include "PeerAddressCheck.h"

#include "bridge/CStdExcept.h"

#include <optional>

namespace peercheck {

namespace {

// The directory's answer; none when it cannot be asked, which backs nothing
// (not even going offline).
std::optional<std::string> HeldByDirectory(const DirectoryAddress& directoryAddress) {
    try {
        return directoryAddress();
    } catch (const CStdExcept&) {
        return std::nullopt;
    }
}

} // namespace

bool BelievesAnnouncedAddress(const std::string& announced, const std::string& held,
                              const std::string& from, const DirectoryAddress& directoryAddress) {
    // The contact repeating the address we hold, or leaving it, from that
    // address: nothing for anybody else to gain.
    if (from == held && (announced == held || announced == kOffline))
        return true;
    // A move to a new address must be one the contact published: a caller
    // announcing its own address in a friend's name would otherwise take the
    // friend's place.
    return HeldByDirectory(directoryAddress) == announced;
}

bool PlacesStranger(const std::string& from, const DirectoryAddress& directoryAddress) {
    const std::optional<std::string> held = HeldByDirectory(directoryAddress);
    return held && *held != kOffline && *held == from;
}

} // namespace peercheck
