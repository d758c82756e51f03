// halvserve: the presence service. It takes no options; it runs once per
// session and ends when no application holds an active TOS any more. Exit
// codes are listed on QuemblyApp.
#include "Halvara.h"
#include "QuemblyApp.h"

int main() {
    QuemblyApp app([] { return std::make_unique<Halvara>(); });
    if (!app.InitInstance())
        return app.ExitCode();
    return app.Run();
}
