#include "app/explorer/DirectoryRows.h"

#include "app/files/FileSystem.h"
#include "app/files/FileTypeIcon.h"
#include "app/files/SystemIconTable.h"

#include <algorithm>

namespace {

bool Stopped(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

std::string ListingPattern(const std::string& folder) {
    return WithSlash(folder) + "*.*";
}

unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

} // namespace

std::string WithSlash(const std::string& folder) {
    if (folder.empty() || folder.back() == '/')
        return folder;
    return folder + '/';
}

std::string LastComponent(const std::string& path) {
    std::string trimmed = path;
    if (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos || trimmed.size() == 1)
        return trimmed;
    return trimmed.substr(slash + 1);
}

int CompareNoCase(const std::string& a, const std::string& b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned char x = FoldAscii(static_cast<unsigned char>(a[i]));
        const unsigned char y = FoldAscii(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

DirectoryPage ReadDirectory(FileSystem& files, const std::string& folder,
                            const std::atomic<bool>* stop) {
    DirectoryPage page;
    page.folder = WithSlash(folder);
    FolderListing listing = files.ListFolder(ListingPattern(page.folder));
    page.outcome = listing.outcome;
    page.rows.reserve(listing.entries.size());
    for (const FolderEntry& entry : listing.entries) {
        if (Stopped(stop))
            break;
        if (entry.path.empty())
            continue;
        ShellFileInfo info;
        if (!files.GetFileInfo(entry.path, info,
                               kInfoIcon | kInfoSmallIcon | kInfoDisplayName | kInfoTypeName |
                                   kInfoAttributes))
            continue;
        // The trash is reached through Delete, never browsed.
        if (info.typeName.find("Recycle") != std::string::npos)
            continue;
        DirectoryRow row;
        row.path = entry.path;
        row.isFolder = entry.isDirectory || (info.attributes & kItemFolder) != 0;
        row.name = info.displayName.empty() ? LastComponent(entry.path) : info.displayName;
        row.typeName = std::move(info.typeName);
        row.iconIndex = info.iconIndex;
        // A friend's entry whose type this computer has not drawn yet gets the
        // icon its name has here rather than the generic one.
        if (row.iconIndex == SystemIconTable::kGenericFileIcon) {
            const IconNames names = row.isFolder ? IconNames{"folder", "folder"}
                                                 : FileTypeIconNames(LastComponent(entry.path));
            row.iconIndex = SystemIconTable::IndexOf(names.name, names.fallbackName);
        }
        FileStatus status;
        if (files.GetStatus(entry.path, status)) {
            row.modified = status.modificationTime;
            if (!row.isFolder) {
                row.size = static_cast<std::uint32_t>(status.size);
                row.sizeText = FormatKilobytes(row.size);
            }
        }
        page.rows.push_back(std::move(row));
    }
    return page;
}

std::vector<Subfolder> ReadSubfolders(FileSystem& files, const std::string& folder,
                                      const std::atomic<bool>* stop) {
    std::vector<Subfolder> folders;
    FolderListing listing = files.ListFolder(ListingPattern(folder));
    for (const FolderEntry& entry : listing.entries) {
        if (Stopped(stop))
            break;
        if (entry.isDirectory && !entry.path.empty() && !files.IsRecycleBin(entry.path))
            folders.push_back({entry.path, false});
    }
    // Stable, so equal names keep the listing's order.
    std::stable_sort(folders.begin(), folders.end(), [](const Subfolder& a, const Subfolder& b) {
        return CompareNoCase(a.path, b.path) < 0;
    });
    for (Subfolder& subfolder : folders) {
        if (Stopped(stop))
            break;
        subfolder.hasSubfolders = files.HasSubdirectories(subfolder.path);
    }
    return folders;
}
