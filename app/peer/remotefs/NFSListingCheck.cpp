#include "app/peer/remotefs/NFSListingCheck.h"

#include <string_view>

namespace {

// Whichever separator the friend's computer writes.
std::string FolderOf(const std::string& pattern) {
    const std::size_t separator = pattern.find_last_of("/\\");
    return separator == std::string::npos ? std::string() : pattern.substr(0, separator + 1);
}

void RestoreCutPath(const std::string& folder, NFSListingEntry& entry) {
    if (entry.path.size() + 1 < kNfsListingPathWidth)
        return;
    const std::string& name = entry.infoB.displayName;
    if (name.find('/') != std::string::npos)
        return;
    std::string whole = folder + name;
    if (whole.size() <= entry.path.size() || whole.compare(0, entry.path.size(), entry.path) != 0)
        return;
    // The status record carries the same path in a field as narrow.
    if (entry.status.fullPath == entry.path)
        entry.status.fullPath = whole;
    entry.path = std::move(whole);
}

} // namespace

bool IsListedDots(const NFSListingEntry& entry) {
    const std::size_t separator = entry.path.find_last_of("/\\");
    const std::string_view name = separator == std::string::npos
                                      ? std::string_view(entry.path)
                                      : std::string_view(entry.path).substr(separator + 1);
    return entry.isDots != 0 || name == "." || name == "..";
}

bool AcceptListedEntries(const std::string& pattern, std::vector<NFSListingEntry>& entries) {
    const std::string folder = FolderOf(pattern);
    for (NFSListingEntry& entry : entries) {
        // The virtual root's own "." names no folder.
        if (entry.path == "." || entry.path == "..")
            continue;
        if (entry.path.size() <= folder.size() ||
            entry.path.compare(0, folder.size(), folder) != 0)
            return false;
        RestoreCutPath(folder, entry);
    }
    return true;
}
