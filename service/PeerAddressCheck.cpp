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
    const bool goingOffline = announced == kOffline;
    if (from == (goingOffline ? held : announced))
        return true;
    return HeldByDirectory(directoryAddress) == announced;
}

bool PlacesStranger(const std::string& from, const DirectoryAddress& directoryAddress) {
    const std::optional<std::string> held = HeldByDirectory(directoryAddress);
    return held && *held != kOffline && *held == from;
}

} // namespace peercheck
