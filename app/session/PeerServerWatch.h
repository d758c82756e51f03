#pragma once

#include "app/session/PeerServices.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

// The state of the four peer servers and the one thread that tells the
// observer about it: servers report from their own threads without waiting,
// and the observer hears every change in order on this thread. The same
// thread marks a server Slow that still has no port some time after the start.
class PeerServerWatch {
public:
    PeerServerWatch(PeerServicesObserver* observer, const PeerServerPorts& ports,
                    std::chrono::milliseconds slowAfter);
    // Tells what is still queued, then ends the thread.
    ~PeerServerWatch();
    PeerServerWatch(const PeerServerWatch&) = delete;
    PeerServerWatch& operator=(const PeerServerWatch&) = delete;

    // From any thread. A server that stopped stays stopped; a Slow that comes
    // after the server got its port is dropped.
    void Change(PeerServerKind server, PeerServerState state);
    // A line about the shares for the observer, from any thread.
    void SharesLine(std::string line);

    PeerServerState StateOf(PeerServerKind server) const;
    int PortOf(PeerServerKind server) const;

private:
    struct StateChange {
        PeerServerKind server;
        PeerServerState state;
        int port;
    };
    using Event = std::variant<StateChange, std::string>;

    void Run();
    // With m_mutex held.
    void ChangeLocked(PeerServerKind server, PeerServerState state);
    void MarkSlowLocked();

    PeerServicesObserver* const m_observer;
    const std::array<int, 4> m_ports;
    const std::chrono::steady_clock::time_point m_slowAt;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::array<PeerServerState, 4> m_states;
    std::deque<Event> m_events;
    bool m_slowChecked = false;
    bool m_ending = false;
    std::thread m_thread; // last: starts once the rest is in place
};
