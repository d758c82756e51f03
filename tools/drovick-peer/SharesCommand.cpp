// drovick-peer shares: the shared folders, one a line.

#include "Arguments.h"
#include "Commands.h"
#include "SettingsFile.h"
#include "app/files/DrovickSettings.h"
#include "app/files/ShareTable.h"

#include <unistd.h>

int RunShares(const std::vector<std::string>& words) {
    std::string error;
    auto arguments = Arguments::Parse(words, {}, error);
    if (!arguments || !arguments->Words().empty()) {
        Complain(arguments ? "usage: drovick-peer shares" : error);
        return kExitUsage;
    }
    SettingsFile file;
    DrovickSettings settings;
    if (!file.Load(settings, error)) {
        Complain(error);
        return kExitFailure;
    }
    for (const std::string& entry : settings.GetShareTable()->Entries())
        WriteLine(STDOUT_FILENO, Shown(entry));
    return kExitSuccess;
}
