#include "app/files/SystemIconTable.h"

namespace SystemIconTable {

// Icons are a property of the process, like the image list they replace.
IconTable& Process() {
    static IconTable table;
    return table;
}

std::int32_t IndexOf(const std::string& name, const std::string& fallbackName) {
    return Process().IndexOf(name, fallbackName);
}

IconNames NamesAt(std::int32_t index) {
    return Process().NamesAt(index);
}

} // namespace SystemIconTable
