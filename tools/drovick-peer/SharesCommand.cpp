// drovick-peer shares: the shared folders, one a line.

#include "Commands.h"
#include "Program.h"
#include "SettingsComplaints.h"
#include "app/files/DrovickSettings.h"
#include "app/files/ShareTable.h"
#include "app/session/SettingsFile.h"

#include <unistd.h>

int RunShares(const std::vector<std::string>& words) {
    if (!ParseCommand(words, {}, 0, 0, "usage: drovick-peer shares"))
        return kExitUsage;
    SettingsFile file;
    DrovickSettings settings;
    if (!LoadOrComplain(file, settings))
        return kExitFailure;
    for (const std::string& entry : settings.GetShareTable()->Entries())
        WriteLine(STDOUT_FILENO, Shown(entry));
    return kExitSuccess;
}
