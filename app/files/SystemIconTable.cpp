#include "app/files/SystemIconTable.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

struct Table {
    std::mutex mutex;
    std::vector<SystemIconTable::IconNames> icons{
        {"application-octet-stream", "application-x-generic"}};
    std::unordered_map<std::string, std::int32_t> indexByName{{"application-octet-stream", 0}};
};

// Icons are a property of the process, like the image list they replace; the
// table only grows, one entry per distinct icon name.
Table& TheTable() {
    static Table table;
    return table;
}

} // namespace

namespace SystemIconTable {

std::int32_t IndexOf(const std::string& name, const std::string& fallbackName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    auto found = table.indexByName.find(name);
    if (found != table.indexByName.end())
        return found->second;
    auto index = static_cast<std::int32_t>(table.icons.size());
    table.icons.push_back({name, fallbackName});
    table.indexByName.emplace(name, index);
    return index;
}

IconNames NamesAt(std::int32_t index) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= table.icons.size())
        return {};
    return table.icons[static_cast<std::size_t>(index)];
}

} // namespace SystemIconTable
