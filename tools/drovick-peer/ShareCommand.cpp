// drovick-peer share PATH: adds a folder to the share table of the settings.

#include "Commands.h"
#include "Program.h"
#include "SettingsFile.h"
#include "app/files/DrovickSettings.h"
#include "app/files/ShareTable.h"

#include <unistd.h>

int RunShare(const std::vector<std::string>& words) {
    auto arguments = ParseCommand(words, {}, 1, 1, "usage: drovick-peer share PATH");
    if (!arguments)
        return kExitUsage;
    std::string error;
    const std::string folder = ShareFormOf(arguments->Words()[0], error);
    if (folder.empty()) {
        Complain("cannot share " + error);
        return kExitFailure;
    }

    SettingsFile file;
    DrovickSettings settings;
    if (!file.LoadOrComplain(settings))
        return kExitFailure;
    ShareTable& table = *settings.GetShareTable();

    // The table's own refusals, each said in words before Add is asked.
    for (const std::string& entry : table.Entries()) {
        if (ShareTable::IsUnder(entry, folder)) {
            Complain(entry == folder
                         ? Shown(folder) + " is already shared"
                         : Shown(folder) + " is already shared as part of " + Shown(entry));
            return kExitFailure;
        }
    }
    if (!table.IsShareable(folder)) {
        Complain("cannot share " + Shown(folder) +
                 ": the root, system folders and the product's own configuration and "
                 "runtime folders are never shared");
        return kExitFailure;
    }
    std::vector<std::string> absorbed;
    table.ListUnder(folder, absorbed);
    if (!table.Add(folder)) {
        Complain("the share table refused " + Shown(folder));
        return kExitFailure;
    }
    if (!file.Save(settings, error)) {
        Complain(error);
        return kExitFailure;
    }
    WriteLine(STDOUT_FILENO, "shared " + Shown(folder));
    // Sharing a folder shares everything below it, so shares inside it merge.
    for (const std::string& entry : absorbed)
        WriteLine(STDOUT_FILENO, "  now part of it: " + Shown(entry));
    NoteRunningDrovick();
    return kExitSuccess;
}
