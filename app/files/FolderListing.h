#pragma once

#include <string>
#include <vector>

// One item of a folder, as a window shows it.
struct FolderEntry {
    std::string path; // full path, as the file system that listed it names it
    bool isDirectory = false;
    bool isHidden = false;

    bool operator==(const FolderEntry&) const = default;
};

// A folder's items taken at once: a plain value that owes nothing to the file
// system object that made it, so the thread that listed can hand it to
// another. "." and ".." are left out; the order is the file system's own.
struct FolderListing {
    enum class Outcome {
        // Every item that matched is here, possibly none.
        Complete,
        // The listing stopped at its cap: the first items only.
        Truncated,
        // Missing, not a folder, not readable, or not shared with us. A
        // friend's server answers a pattern that matches nothing the same way.
        NotReadable,
        // The computer that holds the folder could not be asked, or its answer
        // broke off.
        Unreachable,
        // The answer announced more items than we accept; none are kept.
        TooLarge,
    };

    Outcome outcome = Outcome::NotReadable;
    std::vector<FolderEntry> entries;

    bool Listed() const { return outcome == Outcome::Complete || outcome == Outcome::Truncated; }
};
