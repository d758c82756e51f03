#include "app/session/PeerServerWatch.h"

#include <cstddef>

namespace {

std::size_t IndexOf(PeerServerKind server) {
    return static_cast<std::size_t>(server);
}

} // namespace

PeerServerWatch::PeerServerWatch(PeerServicesObserver* observer, const PeerServerPorts& ports,
                                 std::chrono::milliseconds slowAfter)
    : m_observer(observer)
    , m_ports{ports.remoteFileSystem, ports.search, ports.transfer, ports.messenger}
    , m_slowAt(std::chrono::steady_clock::now() + slowAfter) {
    m_states.fill(PeerServerState::Starting);
    m_thread = std::thread(&PeerServerWatch::Run, this);
}

PeerServerWatch::~PeerServerWatch() {
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void PeerServerWatch::ChangeLocked(PeerServerKind server, PeerServerState state) {
    PeerServerState& now = m_states[IndexOf(server)];
    if (now == state || now == PeerServerState::Stopped)
        return;
    if (state == PeerServerState::Slow && now != PeerServerState::Starting)
        return;
    now = state;
    m_events.push_back(StateChange{server, state, m_ports[IndexOf(server)]});
}

void PeerServerWatch::Change(PeerServerKind server, PeerServerState state) {
    {
        std::lock_guard lock(m_mutex);
        ChangeLocked(server, state);
    }
    m_wake.notify_one();
}

void PeerServerWatch::SharesLine(std::string line) {
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(line));
    }
    m_wake.notify_one();
}

PeerServerState PeerServerWatch::StateOf(PeerServerKind server) const {
    std::lock_guard lock(m_mutex);
    return m_states[IndexOf(server)];
}

int PeerServerWatch::PortOf(PeerServerKind server) const {
    return m_ports[IndexOf(server)];
}

void PeerServerWatch::MarkSlowLocked() {
    m_slowChecked = true;
    for (PeerServerKind server : kPeerServerKinds) {
        if (m_states[IndexOf(server)] == PeerServerState::Starting)
            ChangeLocked(server, PeerServerState::Slow);
    }
}

void PeerServerWatch::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_slowChecked)
            m_wake.wait(lock, [this] { return m_ending || !m_events.empty(); });
        else if (!m_wake.wait_until(lock, m_slowAt,
                                    [this] { return m_ending || !m_events.empty(); }))
            MarkSlowLocked();
        // Told outside the lock, so a server reporting meanwhile never waits
        // for the observer.
        while (!m_events.empty()) {
            Event event = std::move(m_events.front());
            m_events.pop_front();
            lock.unlock();
            if (m_observer) {
                if (const auto* change = std::get_if<StateChange>(&event))
                    m_observer->ServerStateChanged(change->server, change->state, change->port);
                else
                    m_observer->SharesChanged(std::get<std::string>(event));
            }
            lock.lock();
        }
        if (m_ending)
            return;
    }
}
