#pragma once

#include "app/peer/remotefs/NFSListingEntry.h"

#include <string>
#include <vector>

// What a client takes of a friend's listing of pattern. Every item must lie
// in the listed folder: its path begins with the pattern's folder, separator
// included, and names something after it (the virtual root "/" lists the
// shared folders, which all begin with "/", after its "." alone). A listing
// with an item elsewhere is malformed and dropped whole (false).
//
// The entry's path field holds 259 bytes, too few for a long name below most
// folders (a name may have 255), while the display name field holds any name:
// a path the field cut is made whole again from the folder and the display
// name, when that extends what arrived.
bool AcceptListedEntries(const std::string& pattern, std::vector<NFSListingEntry>& entries);

// The folder's own "." or its "..": flagged so, or named so whichever
// separator the friend's computer writes.
bool IsListedDots(const NFSListingEntry& entry);
