// halvserve: the presence service. It takes no options; it runs once per
// session and ends when no application holds an active TOS any more. Exit
// codes are listed on QuemblyApp.
#include "Halvara.h"
#include "QuemblyApp.h"
#include "RealCollaborators.h"

int main() {
    // Read and built once, here, rather than by the engine on the bridge
    // thread; they outlive the engine, which the application ends first.
    const Halvara::Intervals intervals = Halvara::Intervals::FromEnvironment();
    RealCollaborators collaborators;
    QuemblyApp app([intervals, &collaborators] {
        return std::make_unique<Halvara>(collaborators.Parts(), intervals);
    });
    if (!app.InitInstance())
        return app.ExitCode();
    return app.Run();
}
