#pragma once

#include <functional>
#include <string>

// What the engine believes of other presence services. The peer protocol
// carries no proof of who is calling, so a message is believed only where the
// connection's own address, or the directory, backs it.
//
// directoryAddress gives the address the directory holds for the caller and
// throws CStdExcept when it cannot be asked; it is called only when the
// connection's address does not decide alone, and never with a lock held.
namespace peercheck {

using DirectoryAddress = std::function<std::string()>;

constexpr const char* kOffline = "0.0.0.0";

// An address a contact announces (type 12). Repeating the held address, or
// going offline, is believed when the call comes from the held address; any
// other announcement only when the directory holds the announced address
// (which only the contact's password moves), so a third party can neither
// move a contact, nor take its place from its own address, nor take it offline.
bool BelievesAnnouncedAddress(const std::string& announced, const std::string& held,
                              const std::string& from, const DirectoryAddress& directoryAddress);

// A stranger who becomes an acquaintance (types 13 and 15): the
// directory must know the ID and hold the address the call comes from, so
// invented IDs and callers speaking for somebody else add nobody.
bool PlacesStranger(const std::string& from, const DirectoryAddress& directoryAddress);

} // namespace peercheck
