#include "app/shell/frame/DrovickApplication.h"

#include <cstdlib>

int main(int argc, char** argv) {
    auto* application = new DrovickApplication(argc, argv);
    const int code = application->Run();
    // A presence start still inside the library uses the application's
    // objects: the settings are saved and the servers stopped, so the process
    // ends here without destroying what that thread still holds.
    if (application->MustEndAtOnce())
        std::_Exit(code);
    delete application;
    return code;
}
