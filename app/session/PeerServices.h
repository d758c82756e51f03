#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class DrovickSettings;
class InstantMessageDisplay;
class LogEvent;
class PresenceDirectory;
class ShareTable;
struct ShareChange;
struct ShareChangeOutcome;

// The four peer servers of one user, in the order they are started.
enum class PeerServerKind { RemoteFileSystem, Search, Transfer, Messenger };
inline constexpr PeerServerKind kPeerServerKinds[] = {
    PeerServerKind::RemoteFileSystem, PeerServerKind::Search, PeerServerKind::Transfer,
    PeerServerKind::Messenger};

// What a server's listening socket does. A server retries a taken port every
// five seconds until it gets it or gives up.
enum class PeerServerState {
    Starting,  // started, no port yet
    Slow,      // still no port two seconds after the start
    Listening, // accepting on its port
    GaveUp,    // stopped trying; the search and messenger servers are optional
    Stopped,
};

// Told about every change of a server's state and every change of the shares
// made through the services. Called on a thread of the services' own: an
// implementation must not block (a window posts to its user-interface thread).
class PeerServicesObserver {
public:
    virtual ~PeerServicesObserver() = default;
    virtual void ServerStateChanged(PeerServerKind server, PeerServerState state, int port) = 0;
    // One line for the user about a change of the shares asked over the message
    // bus (share and unshare of drovick-peer), made and saved, or refused.
    virtual void SharesChanged(const std::string& line) = 0;
};

struct PeerServerPorts {
    int remoteFileSystem;
    int transfer;
    int search;
    int searchResult;
    int messenger;
    // The fixed ports of the product.
    static PeerServerPorts Defaults();
};

// How a server waits for a taken port. The product's values; tests shorten them.
struct PeerServerPatience {
    int listenAttempts = 6;
    std::chrono::milliseconds listenRetryDelay{5000};
    // A server without its port this long after the start is reported Slow.
    std::chrono::milliseconds slowAfter{2000};
};

// Drovick's composition below the windows, shared by `drovick-peer serve` and
// the window program: the single-instance guard, the settings file and its
// share table, and the four peer servers started and stopped in their order.
//
// Use, on one thread: TakeGuard, LoadSettings, Start; at the end Stop and
// SaveSettings (the window program saves, serve saves only changes asked for).
class PeerServices {
public:
    // programName ("drovick", "drovick-peer serve") is written into the guard's
    // lock file so that a second start can say who holds it.
    explicit PeerServices(std::string programName);
    ~PeerServices(); // stops the servers when still running
    PeerServices(const PeerServices&) = delete;
    PeerServices& operator=(const PeerServices&) = delete;

    enum class Guard { Taken, HeldByOther, Unreachable };
    // Takes Drovick's single-instance guard. When another process holds it,
    // holder names that program and its process id ("drovick, process 1234"),
    // or is empty when the holder did not name itself; when the session
    // folder cannot be reached, holder says why. Holding the guard, the
    // services take the share changes asked over the message bus from now on
    // (they are answered once started), so none is lost before Start.
    Guard TakeGuard(std::string& holder);

    // Reads "Drovick.settings". A missing file leaves the defaults and is fine;
    // a damaged one keeps what was read before the damage, gives false with
    // error set, and is not written over until SaveSettings.
    bool LoadSettings(std::string& error);
    bool SaveSettings(std::string& error);
    const std::filesystem::path& SettingsPath() const;
    // Owned by the services; the user-interface thread edits it.
    DrovickSettings& Settings();

    // Starts the remote file system, search, transfer and instant-message
    // servers in that order, each given the settings' share table, and starts
    // taking share changes asked over the message bus. False when a server
    // could not be started at all. log, display and presence must outlive Stop.
    bool Start(LogEvent& log, InstantMessageDisplay& display, PresenceDirectory& presence,
               const PeerServerPorts& ports, PeerServicesObserver* observer);
    // Tells every server to stop, then waits for the search, remote file
    // system, transfer and instant-message servers in that order; the
    // observer has been told everything once it returns. Idempotent.
    void Stop();

    // Without the remote file system or the transfer server there is nothing
    // to serve: a front end stops when one of them gave up.
    static bool IsEssential(PeerServerKind server);
    // For a test; takes effect at the next Start.
    void SetPatience(const PeerServerPatience& patience);

    // Stopped before the first Start and after Stop.
    PeerServerState StateOf(PeerServerKind server) const;
    // The port of the last Start (the product's before one).
    int PortOf(PeerServerKind server) const;

    // A change of the shares made in a window: applied to the served table
    // and saved with the rest of the settings under the lock that the changes
    // over the message bus take, so that neither undoes the other. False with
    // error set when change refused (it said why) or the file was not written.
    bool ChangeShares(const std::function<bool(ShareTable&, std::string&)>& change,
                      std::string& error);

    // Reads the share table from the file again (serve's SIGHUP); the line for
    // the user goes to the observer. Only while started.
    void ReadSharesAgain();

private:
    struct Held;
    struct Running;
    // A change asked over the message bus, on the desk's thread while started.
    ShareChangeOutcome ChangeServedShares(const ShareChange& change);
    // With the share lock held: the file's share table becomes the served one.
    bool PublishSharesOf(const DrovickSettings& fresh);

    const std::string m_programName;
    std::unique_ptr<Held> m_held;
    std::unique_ptr<Running> m_running;
};
