#pragma once

#include "app/files/FolderListing.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// One running directory listing: the entries of a folder that match a wildcard
// pattern ("/data/*.*"), read at once when it starts, walked one at a time. "."
// and ".." come first, the rest in byte order of their names, so listings are
// the same on every run.
class DirectoryListing {
public:
    struct Entry {
        std::string name;
        bool isDirectory = false; // a symbolic link to a folder counts as one
        bool isHidden = false;
        bool mayBeLink = false; // a symbolic link, or of a type the folder did not say
    };

    // Reads the entries; false when the folder cannot be read or nothing
    // matches. Stands before the first entry.
    bool Start(const std::string& pattern);
    // Leaves out the entries hide names (given the entry and its path) before
    // the walk begins; false when none are left.
    bool DropEntries(const std::function<bool(const Entry&, const std::string&)>& hide);
    // Advances; false when the entry just reached is the last one.
    bool Next();
    void Close();

    // Every entry left, dots excepted, and how the reading went.
    FolderListing Items() const;

    // Entries left to walk, the current one and the dots included.
    std::size_t Count() const { return m_entries.size(); }
    bool HasCurrent() const;
    const Entry& Current() const { return m_entries[static_cast<std::size_t>(m_index)]; }
    std::string CurrentPath() const;

private:
    std::string m_folder; // with its trailing "/", or empty for the current folder
    std::vector<Entry> m_entries;
    long m_index = -1;
    bool m_opened = false; // the folder could be read
    bool m_capped = false; // more entries were there than one listing holds
};

// Wildcard match of a file name: "*" any run, "?" any one character; "*.*" and
// "*" match every name, as listing patterns always did.
bool MatchesWildcard(const std::string& pattern, const std::string& name);
