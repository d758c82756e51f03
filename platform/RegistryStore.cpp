#include "platform/RegistryStore.h"

#include "platform/AtomicFile.h"
#include "platform/Environment.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Names that begin with this prefix belong to the store's own temporaries (a
// value being written, a key being deleted); they are never keys or values.
constexpr std::string_view kReservedPrefix = ".~";

// A value larger than this is not a value this product ever writes; reading it
// would only let a damaged or hostile file exhaust memory.
constexpr std::size_t kMaxValueSize = 64u << 20;

bool IsValidPart(std::string_view part) {
    if (part.empty() || part == "." || part == "..")
        return false;
    if (part.substr(0, kReservedPrefix.size()) == kReservedPrefix)
        return false;
    return part.find('\0') == std::string_view::npos && part.find('/') == std::string_view::npos;
}

bool IsValidValueName(std::string_view name) {
    return IsValidPart(name) && name.find('\\') == std::string_view::npos;
}

bool CreateFolders(const std::filesystem::path& folder) {
    std::error_code error;
    if (std::filesystem::is_directory(folder, error))
        return true;
    if (!folder.has_parent_path() || folder.parent_path() == folder)
        return false;
    if (!CreateFolders(folder.parent_path()))
        return false;
    // The registry holds passwords: only the user reads it.
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return std::filesystem::is_directory(folder, error);
}

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
}

} // namespace

std::filesystem::path RegistryStore::DefaultRoot() {
    std::filesystem::path base = ConfigHome();
    if (base.empty())
        base = "/.config";
    return base / "halvara" / "registry";
}

RegistryStore::RegistryStore(std::filesystem::path root)
    : m_root(std::move(root)) {}

// An empty result means the key is refused. The empty key names the root itself.
std::filesystem::path RegistryStore::KeyPath(std::string_view key) const {
    std::filesystem::path path = m_root;
    if (key.empty())
        return path;
    std::size_t start = 0;
    while (true) {
        std::size_t end = key.find_first_of("\\/", start);
        std::string_view part =
            key.substr(start, end == std::string_view::npos ? end : end - start);
        if (!IsValidPart(part))
            return {};
        path /= std::string(part);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return path;
}

std::optional<std::vector<std::uint8_t>> RegistryStore::ReadValue(std::string_view key,
                                                                  std::string_view name) const {
    auto folder = KeyPath(key);
    if (folder.empty() || !IsValidValueName(name))
        return std::nullopt;
    auto file = folder / std::string(name);
    // Values are replaced by rename, never changed in place: one open file is
    // one whole value.
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) > kMaxValueSize) {
        close(fd);
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    if (done != bytes.size())
        return std::nullopt;
    return bytes;
}

bool RegistryStore::WriteValue(std::string_view key, std::string_view name,
                               const std::vector<std::uint8_t>& bytes) {
    auto folder = KeyPath(key);
    if (folder.empty() || !IsValidValueName(name) || bytes.size() > kMaxValueSize)
        return false;
    if (!CreateFolders(folder))
        return false;
    std::string temporary = (folder / (std::string(kReservedPrefix) + "w.XXXXXX")).string();
    return ReplaceFileAtomically(folder / std::string(name), temporary, bytes);
}

bool RegistryStore::DeleteValue(std::string_view key, std::string_view name) {
    auto folder = KeyPath(key);
    if (folder.empty() || !IsValidValueName(name))
        return false;
    auto file = folder / std::string(name);
    struct stat info {};
    if (lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (unlink(file.c_str()) != 0)
        return false;
    SyncFolder(folder);
    return true;
}

bool RegistryStore::DeleteKey(std::string_view key) {
    // The root is not a key anybody may delete.
    if (key.empty())
        return false;
    auto folder = KeyPath(key);
    if (folder.empty())
        return false;
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    // Move the key aside first, so that readers see it whole or not at all
    // while its contents are removed.
    auto aside = folder.parent_path() / (std::string(kReservedPrefix) + "d." + UniqueSuffix());
    if (rename(folder.c_str(), aside.c_str()) != 0)
        return false;
    SyncFolder(folder.parent_path());
    std::error_code error;
    std::filesystem::remove_all(aside, error);
    return true;
}

std::vector<std::string> RegistryStore::SubKeys(std::string_view key) const {
    std::vector<std::string> names;
    auto folder = KeyPath(key);
    if (folder.empty())
        return names;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error)
        return names;
    for (std::filesystem::directory_iterator end; !error && it != end; it.increment(error)) {
        const auto& entry = *it;
        std::string name = entry.path().filename().string();
        if (name.starts_with(kReservedPrefix))
            continue;
        std::error_code typeError;
        if (entry.is_directory(typeError) && !entry.is_symlink(typeError))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool RegistryStore::KeyExists(std::string_view key) const {
    auto folder = KeyPath(key);
    if (folder.empty())
        return false;
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace platform
