#include "TosTable.h"

#include "bridge/CStdExcept.h"

namespace {
constexpr const char* kUnit = "Acquaintance";
}

void TosTable::RegisterTOS(std::int32_t tos, bool on, bool counted) {
    if (tos == kPlainPresence)
        throw CStdExcept(kUnit, 562);
    if (Triple* triple = Find(tos)) {
        if (counted) {
            if (triple->active != 0) {
                if (on)
                    ++triple->count;
                else if (triple->count > 0)
                    --triple->count;
            } else if (on) {
                triple->count = 1;
            }
        } else {
            triple->count = on ? 1 : 0;
        }
        triple->active = triple->count > 0 ? 1 : 0;
        return;
    }
    if (!on)
        throw CStdExcept(kUnit, 596);
    if (m_triples.size() >= kMaxEntries)
        throw CStdExcept(kUnit, 604);
    m_triples.push_back(Triple{tos, 1, 1});
}

int TosTable::NumActiveTOS() const {
    int active = 0;
    for (const Triple& triple : m_triples)
        if (triple.active != 0)
            ++active;
    return active;
}

bool TosTable::IsActive(std::int32_t tos) const {
    if (tos == kPlainPresence)
        return true;
    const Triple* triple = Find(tos);
    return triple && triple->active != 0;
}

std::int32_t TosTable::Count(std::int32_t tos) const {
    const Triple* triple = Find(tos);
    return triple ? triple->count : 0;
}

TosTable::Triple* TosTable::Find(std::int32_t tos) {
    for (Triple& triple : m_triples)
        if (triple.tos == tos)
            return &triple;
    return nullptr;
}

const TosTable::Triple* TosTable::Find(std::int32_t tos) const {
    for (const Triple& triple : m_triples)
        if (triple.tos == tos)
            return &triple;
    return nullptr;
}
