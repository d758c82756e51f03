#include "app/files/IconTable.h"

IconTable::IconTable()
    : m_icons{{"application-octet-stream", "application-x-generic"}}
    , m_indexByName{{"application-octet-stream", kGenericFileIcon}} {}

std::int32_t IconTable::IndexOf(const std::string& name, const std::string& fallbackName) {
    std::lock_guard lock(m_mutex);
    auto found = m_indexByName.find(name);
    if (found != m_indexByName.end())
        return found->second;
    auto index = static_cast<std::int32_t>(m_icons.size());
    m_icons.push_back({name, fallbackName});
    m_indexByName.emplace(name, index);
    return index;
}

IconNames IconTable::NamesAt(std::int32_t index) const {
    std::lock_guard lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_icons.size())
        return {};
    return m_icons[static_cast<std::size_t>(index)];
}
