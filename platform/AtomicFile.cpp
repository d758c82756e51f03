#include "AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

bool ReplaceFileAtomically(const std::filesystem::path& file, std::string temporaryTemplate,
                           std::span<const std::uint8_t> bytes, mode_t mode) {
    int fd = mkostemp(temporaryTemplate.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(temporaryTemplate.c_str(), file.c_str()) == 0;
    if (!ok) {
        unlink(temporaryTemplate.c_str());
        return false;
    }
    SyncFolder(file.has_parent_path() ? file.parent_path() : std::filesystem::path("."));
    return true;
}

void SyncFolder(const std::filesystem::path& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace platform
