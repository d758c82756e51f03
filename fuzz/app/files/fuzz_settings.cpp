// Feeds arbitrary bytes to the settings loader as the content of a settings
// file; whatever it accepts must save and load again to the same bytes.
#include "app/files/DrovickSettings.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One object for the run: building one lists the root folder for icons.
    static DrovickSettings* settings = new DrovickSettings;
    if (!settings->LoadFromBytes({data, size}))
        return 0;
    std::vector<std::uint8_t> saved = settings->SaveToBytes();
    if (!settings->LoadFromBytes(saved) || settings->SaveToBytes() != saved)
        std::abort();
    return 0;
}
