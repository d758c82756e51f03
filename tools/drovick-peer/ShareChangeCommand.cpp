#include "ShareChangeCommand.h"

#include "Program.h"
#include "RunningDrovick.h"
#include "SettingsComplaints.h"
#include "app/files/DrovickSettings.h"
#include "app/session/SettingsFile.h"

#include <unistd.h>

int RunShareChange(ShareChange::Verb verb, const std::vector<std::string>& words,
                   const char* usage) {
    auto arguments = ParseCommand(words, {}, 1, 1, usage);
    if (!arguments)
        return kExitUsage;
    std::string error;
    ShareChange change;
    if (!ShareChangeFor(verb, arguments->Words()[0], change, error)) {
        Complain(error);
        return kExitFailure;
    }

    ShareChangeOutcome outcome;
    bool fileChanged = false;
    switch (AskRunningDrovick(change, outcome)) {
    case AskedDrovick::Answered:
        break;
    case AskedDrovick::TakenUnanswered:
        Complain("Drovick runs for this user and took the change but did not answer within " +
                 std::to_string(kShareAnswerLimit.count()) +
                 " seconds; drovick-peer shares tells whether it was made");
        return kExitFailure;
    case AskedDrovick::NobodyRuns:
    case AskedDrovick::NotTaken: {
        SettingsFile file;
        DrovickSettings settings;
        outcome = ChangeSharesInFile(file, change, settings);
        fileChanged = outcome.made;
        break;
    }
    }
    if (!outcome.made) {
        Complain(outcome.refusal);
        return kExitFailure;
    }
    for (const std::string& line : outcome.lines)
        WriteLine(STDOUT_FILENO, line);
    if (fileChanged)
        NoteRunningDrovick();
    return kExitSuccess;
}
