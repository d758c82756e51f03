// drovick-peer ls HOST PATH: a folder on a friend's computer, one entry a line
// as "name<TAB>size<TAB>type<TAB>date", sorted by name, for people and scripts.

#include "Commands.h"
#include "HostAddress.h"
#include "Program.h"
#include "app/files/SafeText.h"
#include "app/peer/remotefs/RemoteFileSystem.h"
#include "app/session/PresenceSession.h"

#include <algorithm>
#include <ctime>
#include <unistd.h>

namespace {

struct Entry {
    std::string name;
    bool folder = false;
    std::int32_t size = 0;
    std::int32_t modified = 0;
};

// Tabs and line breaks in a name would break the columns and the lines; they
// are written as escapes, and whatever else could steer the terminal is made
// safe after.
std::string Escaped(const std::string& name) {
    std::string out;
    for (char c : name) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return SafeText(out);
}

std::string Date(std::int32_t seconds) {
    if (seconds == 0)
        return "-";
    const std::time_t time = seconds;
    std::tm parts{};
    char text[32] = {};
    if (!gmtime_r(&time, &parts) ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return "-";
    return text;
}

// The entry's name as seen from the folder listed. The shares in the root
// listing keep their full path, as that is what the next listing needs.
std::string NameIn(const std::string& folder, const std::string& path) {
    if (folder == "/")
        return path;
    const std::string prefix = folder + "/";
    if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0)
        return path.substr(prefix.size());
    return path.substr(path.rfind('/') + 1);
}

} // namespace

int RunList(const std::vector<std::string>& words) {
    auto arguments = ParseCommand(words, {"--nfs-port"}, 2, 2,
                                  "usage: drovick-peer ls HOST PATH [--nfs-port N]");
    if (!arguments)
        return kExitUsage;
    auto port = PortOption(*arguments, "--nfs-port", kNfsServerPort);
    if (!port)
        return kExitUsage;
    std::string error;
    const std::string& host = arguments->Words()[0];
    std::string folder = arguments->Words()[1];
    if (folder.empty() || folder.front() != '/') {
        Complain("PATH is a folder on the friend's computer and begins with \"/\"");
        return kExitUsage;
    }
    // The server reads them as a pattern, which would list something else.
    if (folder.find_first_of("*?") != std::string::npos) {
        Complain("PATH names one folder; \"*\" and \"?\" are not taken");
        return kExitUsage;
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();

    PresenceSession friends;
    const std::string address = ResolveHost(host, friends, error);
    if (address.empty()) {
        Complain(error);
        return kExitFailure;
    }

    RemoteFileSystem remote(address, nullptr, nullptr, *port);
    if (!remote.HasInstance()) {
        Complain("cannot reach the file server of " + host + " at " + address + ":" +
                 std::to_string(*port));
        return kExitFailure;
    }
    const std::string pattern = folder == "/" ? "/*" : folder + "/*";
    if (!remote.FindFile(pattern, 0)) {
        Complain(host + " does not list " + folder +
                 ": it is not a folder inside the shared folders");
        return kExitFailure;
    }
    std::vector<Entry> entries;
    for (bool more = true; more;) {
        more = remote.FindNextFile();
        const std::string path = remote.GetFilePath();
        if (remote.IsDots() || path.empty())
            continue;
        Entry entry{NameIn(folder, path), remote.IsDirectory()};
        FileStatus status;
        if (remote.GetStatus(path, status)) {
            entry.size = status.size;
            entry.modified = status.modificationTime;
        }
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const Entry& entry : entries) {
        WriteLine(STDOUT_FILENO,
                  Escaped(entry.name) + "\t" +
                      (entry.folder ? std::string("-")
                                    : std::to_string(static_cast<std::uint32_t>(entry.size))) +
                      "\t" + (entry.folder ? "folder" : "file") + "\t" + Date(entry.modified));
    }
    return kExitSuccess;
}
