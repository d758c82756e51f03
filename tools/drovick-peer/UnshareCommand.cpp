// drovick-peer unshare PATH: takes a folder out of the share table.

#include "Commands.h"
#include "Program.h"
#include "SettingsFile.h"
#include "app/files/DrovickSettings.h"
#include "app/files/ShareTable.h"

#include <filesystem>
#include <unistd.h>

namespace {

// The entry the user means: the path as written (a folder deleted since it was
// shared can still be taken out), else its resolved form.
std::string EntryNamed(const ShareTable& table, const std::string& path) {
    std::filesystem::path written = std::filesystem::absolute(path).lexically_normal();
    std::string asWritten = written.string();
    if (asWritten.empty() || asWritten.back() != '/')
        asWritten += '/';
    if (table.IsShareRoot(asWritten))
        return asWritten;
    std::string ignored;
    return ShareFormOf(path, ignored);
}

} // namespace

int RunUnshare(const std::vector<std::string>& words) {
    auto arguments = ParseCommand(words, {}, 1, 1, "usage: drovick-peer unshare PATH");
    if (!arguments)
        return kExitUsage;
    std::string error;
    const std::string& path = arguments->Words()[0];

    SettingsFile file;
    DrovickSettings settings;
    if (!file.LoadOrComplain(settings))
        return kExitFailure;
    ShareTable& table = *settings.GetShareTable();
    const std::string entry = EntryNamed(table, path);
    if (entry.empty() || !table.IsShareRoot(entry)) {
        std::string message = path + " is not a shared folder";
        for (const std::string& share : table.Entries()) {
            if (!entry.empty() && ShareTable::IsUnder(share, entry))
                message += "; it is shared as part of " + Shown(share);
        }
        Complain(message);
        return kExitFailure;
    }
    if (!table.Remove(entry) || !file.Save(settings, error)) {
        Complain(error.empty() ? "could not take " + Shown(entry) + " out of the shares" : error);
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO, "unshared " + Shown(entry));
    NoteRunningDrovick();
    return kExitSuccess;
}
