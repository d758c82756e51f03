// Feeds arbitrary bytes to the share table as its persisted block; a block it
// accepts must serialise to a block that reads back to the same entries.
#include "app/files/ShareTable.h"

#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto table = std::make_shared<ShareTable>();
    int count = table->Deserialize(data, size);
    if (count >= 0) {
        for (const auto& entry : table->Entries()) {
            table->IsShared(entry + "x");
            table->IsShareable(entry);
        }
        std::vector<std::uint8_t> block = table->Serialize();
        auto copy = std::make_shared<ShareTable>();
        if (copy->Deserialize(block.data(), block.size()) != count ||
            copy->Entries() != table->Entries())
            std::abort();
    }
    return 0;
}
