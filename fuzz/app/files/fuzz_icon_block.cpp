// Feeds arbitrary bytes to the icon cache as its persisted block; once read,
// serialising is stable: the block it writes reads back to itself.
#include "app/files/IconIndexCache.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    IconIndexCache cache;
    if (cache.Deserialize(data, size) < 0)
        return 0;
    std::vector<std::uint8_t> first = cache.Serialize();
    IconIndexCache copy;
    if (copy.Deserialize(first.data(), first.size()) < 0 || copy.Serialize() != first)
        std::abort();
    cache.Lookup("a.mp3", 0);
    return 0;
}
