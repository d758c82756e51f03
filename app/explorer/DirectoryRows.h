#pragma once

#include "app/files/FolderListing.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class FileSystem;

// One entry of the directory list as the window draws it, read on the
// explorer's worker so the window never asks its file system.
struct DirectoryRow {
    std::string path;       // full path as the file system names it
    std::string name;       // display name
    std::uint32_t size = 0; // low 32 bits in bytes, as the peers exchange it
    std::string sizeText;   // "1,234KB", empty for folders
    std::string typeName;
    std::int32_t modified = 0; // seconds since 1970, 0 when not known
    std::int32_t iconIndex = 0;
    bool isFolder = false;
};

// A folder's rows in the file system's order and how its listing went.
struct DirectoryPage {
    std::string folder; // with its trailing "/"
    FolderListing::Outcome outcome = FolderListing::Outcome::NotReadable;
    std::vector<DirectoryRow> rows;
};

// Lists the folder and reads every entry's fields; the trash and entries
// whose information cannot be read are left out. Stops early (with the rows
// read so far) once stop is set. For a friend's computer this is one request:
// the per-entry questions are answered from the listing.
DirectoryPage ReadDirectory(FileSystem& files, const std::string& folder,
                            const std::atomic<bool>* stop = nullptr);

// The folder's subfolders (trash left out) in the tree's order, with whether
// each has subfolders of its own.
struct Subfolder {
    std::string path;
    bool hasSubfolders = false;
};
std::vector<Subfolder> ReadSubfolders(FileSystem& files, const std::string& folder,
                                      const std::atomic<bool>* stop = nullptr);

// "/a/b" -> "/a/b/"; "" stays empty.
std::string WithSlash(const std::string& folder);
// The text after the last "/" of a path without its trailing "/".
std::string LastComponent(const std::string& path);

// ASCII letters compared without case, other bytes as they are: the tree's
// and the list's name order.
int CompareNoCase(const std::string& a, const std::string& b);

// The name a new folder gets: "New Folder" when free, else the first free
// "New Folder (%i)" from 2 up. taken says whether a name is in use.
template <typename Taken>
std::string NewFolderName(Taken taken) {
    const std::string base = "New Folder";
    if (!taken(base))
        return base;
    for (int i = 2;; ++i) {
        std::string candidate = base + " (" + std::to_string(i) + ")";
        if (!taken(candidate))
            return candidate;
    }
}
