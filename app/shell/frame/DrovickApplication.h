#pragma once

#include "app/files/LogEvent.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/session/PeerServices.h"
#include "app/session/PresenceSession.h"

#include <QApplication>
#include <chrono>
#include <memory>

class ExitSignals;
class HeadlessTransferAgent;
class MainFrame;
class SessionMessages;
class WindowKinds;

// Drovick's application object: it owns the event log, the message display,
// the presence session and the peer services, and runs the start-up and exit
// orders around the event loop.
//
// Start: the single-instance guard; the window kinds; the settings; the four
// servers; the main frame; the presence thread; the windows open at the last
// exit. Exit (the window closed, "E&xit", SIGTERM or SIGINT): the settings
// saved; the servers told, then stopped; the presence thread waited for; the
// registration given back.
class DrovickApplication : public QApplication,
                           private PeerServicesObserver,
                           private UserInterfaceQueue,
                           private InstantMessengerOpener {
public:
    DrovickApplication(int& argc, char** argv);
    ~DrovickApplication() override;

    // The whole life of the program; its exit code.
    int Run();
    // Runs the exit order once the event loop returned; called by Run.
    void ShutDown();

    // True when the presence thread was still inside the library after the
    // exit order's wait: the caller must then end the process without running
    // destructors (std::_Exit), as the library is still in use.
    bool MustEndAtOnce() const { return m_presenceAbandoned; }
    // How long the exit order waits for a cancelled presence start to answer
    // (it gives up within about a second unless a library question is open),
    // short enough for a service manager's stop.
    static constexpr std::chrono::seconds kPresenceWait{15};

    MainFrame* Frame() const { return m_frame.get(); }
    LogEvent& Log() { return m_log; }
    bool PresenceInitialized() const { return m_presence.Registered(); }

private:
    bool StartUp();
    void RegisterWindowKinds();
    void StartPresenceThread();
    void UpdateServersPane();

    void ServerStateChanged(PeerServerKind server, PeerServerState state, int port) override;
    void SharesChanged(const std::string& line) override;
    void Post(std::function<void()> work) override;
    void OpenMessenger() override;

    LogEvent m_log;
    PeerServices m_services;
    std::unique_ptr<WindowKinds> m_kinds;
    std::unique_ptr<InstantMessageDisplay> m_display;
    PresenceSession m_presence;
    // Where the search window's downloads go until the transfer agent's
    // window takes them.
    std::unique_ptr<HeadlessTransferAgent> m_transfers;
    std::unique_ptr<MainFrame> m_frame;
    std::unique_ptr<SessionMessages> m_messages;
    std::unique_ptr<ExitSignals> m_exitSignals;
    bool m_presenceAbandoned = false;
    bool m_shutDown = false;
};
