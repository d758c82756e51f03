#include "platform/SessionNamespace.h"

#include "platform/Environment.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

[[noreturn]] void Fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

std::filesystem::path NamespaceFolderName() {
    // Read on every call: a process (and every test) may point the runtime folder
    // elsewhere at any time. A relative value is ignored, as desktops do.
    const std::filesystem::path runtime = AbsoluteFolder("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return runtime / "halvara";
    return std::filesystem::path("/tmp") / ("halvara-" + std::to_string(getuid()));
}

// The folder holds every lock and shared page of the session: anybody who could
// put a folder or a link there first could read or jam them, so only a real
// folder of our own is accepted.
void CheckOwnFolder(const std::filesystem::path& folder) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0)
        Fail(errno, "session namespace " + folder.string());
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode))
        Fail(ENOTDIR, "session namespace is not a plain folder: " + folder.string());
    if (info.st_uid != getuid())
        Fail(EPERM, "session namespace belongs to another user: " + folder.string());
    if ((info.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)
        Fail(errno, "cannot restrict session namespace " + folder.string());
}

} // namespace

std::filesystem::path SessionNamespacePath() {
    std::filesystem::path folder = NamespaceFolderName();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(errno, "cannot create session namespace " + folder.string());
    CheckOwnFolder(folder);
    return folder;
}

std::filesystem::path SessionObjectPath(std::string_view objectName, std::string_view suffix) {
    std::string fileName(objectName);
    for (char& c : fileName) {
        if (c == '/' || c == '\0')
            c = '_';
    }
    // "." and ".." would name the folder itself or its parent.
    if (fileName.empty() || fileName == "." || fileName == "..")
        fileName.insert(0, "_");
    fileName.append(suffix);
    return SessionNamespacePath() / fileName;
}

} // namespace platform
