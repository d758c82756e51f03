#include "SettingsComplaints.h"

#include "Program.h"
#include "app/session/SettingsFile.h"
#include "platform/SingleInstanceGuard.h"

#include <exception>
#include <string>

bool LoadOrComplain(const SettingsFile& file, DrovickSettings& settings) {
    std::string error;
    if (file.Load(settings, error))
        return true;
    Complain(error);
    return false;
}

void NoteRunningDrovick() {
    bool running = false;
    try {
        running = platform::SingleInstanceGuard::IsHeld(kDrovickGuardName);
    } catch (const std::exception&) {
        // No session folder: nothing can be running in it either.
    }
    if (running)
        Complain("note: Drovick runs for this user but did not take the change; a "
                 "drovick-peer serve reads it on SIGHUP, the window program would write its "
                 "own shares back when it exits");
}
