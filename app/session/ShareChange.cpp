#include "app/session/ShareChange.h"

#include "app/files/DrovickSettings.h"
#include "app/files/ShareTable.h"
#include "app/session/SettingsFile.h"

#include <filesystem>
#include <system_error>

namespace {

ShareChangeOutcome Refused(std::string reason) {
    ShareChangeOutcome outcome;
    outcome.refusal = std::move(reason);
    return outcome;
}

// The table's own refusals, each said in words before Add is asked.
ShareChangeOutcome Share(ShareTable& table, const std::string& folder) {
    for (const std::string& entry : table.Entries()) {
        if (ShareTable::IsUnder(entry, folder))
            return Refused(entry == folder
                               ? Shown(folder) + " is already shared"
                               : Shown(folder) + " is already shared as part of " + Shown(entry));
    }
    if (!table.IsShareable(folder))
        return Refused("cannot share " + Shown(folder) +
                       ": the root, system folders and the product's own configuration and "
                       "runtime folders are never shared");
    std::vector<std::string> absorbed;
    table.ListUnder(folder, absorbed);
    if (!table.Add(folder))
        return Refused("the share table refused " + Shown(folder));
    ShareChangeOutcome outcome;
    outcome.made = true;
    outcome.lines.push_back("shared " + Shown(folder));
    // Sharing a folder shares everything below it, so shares inside it merge.
    for (const std::string& entry : absorbed)
        outcome.lines.push_back("  now part of it: " + Shown(entry));
    return outcome;
}

// The entry the user means: the path as written (a folder deleted since it was
// shared can still be taken out), else its resolved form.
std::string EntryNamed(const ShareTable& table, const std::string& path) {
    std::string asWritten = std::filesystem::path(path).lexically_normal().string();
    if (asWritten.empty() || asWritten.back() != '/')
        asWritten += '/';
    if (table.IsShareRoot(asWritten))
        return asWritten;
    std::string ignored;
    return ShareFormOf(path, ignored);
}

ShareChangeOutcome Unshare(ShareTable& table, const std::string& path) {
    const std::string entry = EntryNamed(table, path);
    if (entry.empty() || !table.IsShareRoot(entry)) {
        std::string message = path + " is not a shared folder";
        for (const std::string& share : table.Entries()) {
            if (!entry.empty() && ShareTable::IsUnder(share, entry))
                message += "; it is shared as part of " + Shown(share);
        }
        return Refused(message);
    }
    if (!table.Remove(entry))
        return Refused("could not take " + Shown(entry) + " out of the shares");
    ShareChangeOutcome outcome;
    outcome.made = true;
    outcome.lines.push_back("unshared " + Shown(entry));
    return outcome;
}

} // namespace

ShareChangeOutcome ChangeSharesInFile(const SettingsFile& file, const ShareChange& change,
                                      DrovickSettings& settings) {
    std::string error;
    std::string folder;
    if (change.verb == ShareChange::Verb::Share) {
        folder = ShareFormOf(change.path, error);
        if (folder.empty())
            return Refused("cannot share " + error);
    }
    if (!file.Load(settings, error))
        return Refused(error);
    ShareTable& table = *settings.GetShareTable();
    ShareChangeOutcome outcome = change.verb == ShareChange::Verb::Share
                                     ? Share(table, folder)
                                     : Unshare(table, change.path);
    if (outcome.made && !file.Save(settings, error))
        return Refused(error);
    return outcome;
}

bool ShareChangeFor(ShareChange::Verb verb, const std::string& path, ShareChange& change,
                    std::string& error) {
    const std::string doing =
        verb == ShareChange::Verb::Share ? "cannot share " : "cannot unshare ";
    if (path.empty()) {
        error = doing + "an empty path";
        return false;
    }
    std::error_code failure;
    std::filesystem::path absolute = std::filesystem::absolute(path, failure);
    if (failure) {
        error = doing + path + ": " + failure.message();
        return false;
    }
    change.verb = verb;
    change.path = absolute.string();
    return true;
}
