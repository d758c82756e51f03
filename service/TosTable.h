#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The TOS registrations of one contact entry: which applications (by TOS
// number) the contact runs, each with an active flag and a registration count.
// The own entry counts its registrations, so two applications with the same TOS
// number keep it active until both have unregistered.
//
// Refusals throw CStdExcept with unit "Acquaintance".
class TosTable {
public:
    struct Triple {
        std::int32_t tos = 0;
        std::int32_t active = 0;
        std::int32_t count = 0;
    };

    static constexpr std::int32_t kPlainPresence = -1;
    // Far more applications than any desktop runs; a table beyond it is refused
    // as one that cannot grow.
    static constexpr std::size_t kMaxEntries = 4096;

    // Registers (on) or unregisters (off) a TOS. Counted registrations add up;
    // uncounted ones set the count to 1 or 0. Refused for TOS -1 (562) and for
    // unregistering a TOS that has no triple (596); 604 when the table is full.
    void RegisterTOS(std::int32_t tos, bool on, bool counted);

    int NumActiveTOS() const;
    // TOS -1 stands for plain presence and is always active.
    bool IsActive(std::int32_t tos) const;
    // The registration count of a TOS; 0 without a triple.
    std::int32_t Count(std::int32_t tos) const;

    const std::vector<Triple>& Triples() const { return m_triples; }
    void Clear() { m_triples.clear(); }

private:
    Triple* Find(std::int32_t tos);
    const Triple* Find(std::int32_t tos) const;

    std::vector<Triple> m_triples;
};
