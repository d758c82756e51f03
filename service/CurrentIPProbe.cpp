#include "CurrentIPProbe.h"

#include "PresenceCalls.h"

CurrentIPProbe::CurrentIPProbe(std::function<std::string()> lookup, int intervalMs,
                               std::chrono::milliseconds hangLimit)
    : m_lookup(std::move(lookup))
    , m_intervalMs(intervalMs)
    , m_hangLimit(hangLimit) {}

CurrentIPProbe::~CurrentIPProbe() {
    Stop();
}

void CurrentIPProbe::Start() {
    {
        std::lock_guard hold(m_flagLock);
        m_looping = true;
    }
    m_loop.Start([this](BackgroundLoop::Control& control) { Loop(control); });
}

void CurrentIPProbe::Stop() {
    m_loop.StopAndWait();
    std::lock_guard hold(m_flagLock);
    m_looping = false;
    m_finished.notify_all();
}

void CurrentIPProbe::Loop(BackgroundLoop::Control& control) {
    do {
        {
            std::lock_guard hold(m_flagLock);
            m_probing = true;
            m_probeStart = std::chrono::steady_clock::now();
        }
        std::string address = "0.0.0.0";
        try {
            std::lock_guard peer(PeerLock());
            address = m_lookup ? m_lookup() : std::string("0.0.0.0");
        } catch (...) {
            address = "0.0.0.0";
        }
        if (address.empty())
            address = "0.0.0.0";
        {
            std::lock_guard hold(m_addressLock);
            m_address = address;
        }
        {
            std::lock_guard hold(m_flagLock);
            m_probing = false;
            ++m_probeCount;
        }
        m_finished.notify_all();
    } while (control.Sleep(m_intervalMs));
}

std::string CurrentIPProbe::Read() const {
    {
        std::unique_lock hold(m_flagLock);
        // The first answer is waited for; afterwards a hung probe is noticed
        // at once instead of waiting for it.
        while (m_looping && m_probeCount == 0) {
            if (m_probing && std::chrono::steady_clock::now() - m_probeStart > m_hangLimit)
                return "0.0.0.0";
            m_finished.wait_for(hold, kReadStep);
        }
        if (m_probing && std::chrono::steady_clock::now() - m_probeStart > m_hangLimit)
            return "0.0.0.0";
    }
    std::lock_guard hold(m_addressLock);
    return m_address;
}

int CurrentIPProbe::ProbeCount() const {
    std::lock_guard hold(m_flagLock);
    return m_probeCount;
}
