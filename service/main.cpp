// halvserve: the presence service. It takes no options; it runs once per
// session and ends when no application holds an active TOS any more. Exit
// codes are listed on QuemblyApp.
#include "Halvara.h"
#include "QuemblyApp.h"

int main() {
    // Read once, here, rather than by the engine on the bridge thread.
    const Halvara::Intervals intervals = Halvara::Intervals::FromEnvironment();
    QuemblyApp app([intervals] { return std::make_unique<Halvara>(intervals); });
    if (!app.InitInstance())
        return app.ExitCode();
    return app.Run();
}
