#include "RealCollaborators.h"

RealCollaborators::RealCollaborators()
    : m_probe([this] { return FindLocalAddress(m_database.Host()); })
    , m_directory(m_database, [this] { return m_probe.Read(); })
    , m_calls([this] { return m_probe.Read(); })
    , m_peers(m_calls, m_directory) {}

EngineCollaborators RealCollaborators::Parts() {
    return EngineCollaborators{m_store, m_directory, m_peers, m_probe};
}
