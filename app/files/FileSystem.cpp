#include "app/files/FileSystem.h"

bool FileSystem::IsDriveRoot(const std::string& path, bool checkFolder) {
    if (checkFolder && !IsFolder(path))
        return false;
    std::string_view rest = path;
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    return rest.find('/') == std::string_view::npos;
}

bool FileSystem::IsFolder(const std::string& path) {
    if (IsDriveRoot(path, false))
        return true;
    ShellFileInfo info;
    if (!GetFileInfo(path, info, kInfoAttributes))
        return false;
    return (info.attributes & kItemFolder) != 0;
}

bool FileSystem::IsShortcut(const std::string& path) {
    ShellFileInfo info;
    if (!GetFileInfo(path, info, kInfoAttributes))
        return false;
    return (info.attributes & kItemLink) != 0;
}

std::string FileSystem::GetDisplayName(const std::string& path) {
    ShellFileInfo info;
    if (!GetFileInfo(path, info, kInfoDisplayName))
        return {};
    return info.displayName;
}

std::string FileSystem::GetTypeName(const std::string& path) {
    ShellFileInfo info;
    if (!GetFileInfo(path, info, kInfoTypeName))
        return {};
    return info.typeName;
}

bool FileSystem::IsRecycleBin(const std::string& path) {
    return GetTypeName(path).find("Recycle") != std::string::npos;
}

std::string FormatKilobytes(std::uint32_t sizeInBytes) {
    std::uint64_t kilobytes = (std::uint64_t(sizeInBytes) + 1023) / 1024;
    std::string digits = std::to_string(kilobytes);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped + "KB";
}

std::string FileSystem::FormatSize(const std::string& path) {
    if (IsFolder(path))
        return {};
    FileStatus status;
    if (!GetStatus(path, status))
        return {};
    // The record keeps the low 32 bits; read them unsigned so a 3 GB file does
    // not show a negative size.
    return FormatKilobytes(static_cast<std::uint32_t>(status.size));
}

std::string FileSystem::GetDisplayPath(const std::string& path) {
    if (path.empty() || IsDriveRoot(path, false))
        return path;
    std::string trimmed = path;
    if (trimmed.back() == '/')
        trimmed.pop_back();
    // The root part ("/") stays; every later component becomes the name the
    // file system shows for the path up to it.
    std::string result;
    std::size_t start = 0;
    if (trimmed.front() == '/') {
        result = "/";
        start = 1;
    }
    bool first = true;
    while (start <= trimmed.size()) {
        std::size_t end = trimmed.find('/', start);
        if (end == std::string::npos)
            end = trimmed.size();
        if (!first)
            result += '/';
        result += GetDisplayName(trimmed.substr(0, end));
        first = false;
        start = end + 1;
    }
    return result;
}

std::int32_t FileSystem::GetModifiedTime(const std::string& path) {
    FileStatus status;
    if (!GetStatus(path, status))
        return 0;
    return status.modificationTime;
}
