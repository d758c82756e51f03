// drovick-peer serve: the remote file system, search, transfer and instant
// message servers of the current user, with the shares of the settings file,
// until SIGTERM or SIGINT. `share` and `unshare` hand their change to it over
// the session message bus, and it changes the file and serves the new shares
// at once; SIGHUP reads the file again after a change made by other means.
// Every event of the servers, and every message received, is one line on
// standard output.

#include "Commands.h"
#include "Program.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/session/PeerServices.h"
#include "app/session/PresenceSession.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

class StandardOutputLog : public LogReceiver {
public:
    void AppendEvent(const std::string& line) override { WriteLine(STDOUT_FILENO, line); }
};

// The messenger window of this program: each received message is one line.
class MessagePrinter : public InstantMessageReceiver {
public:
    void AppendMessage(const InstantMessageEntry& entry) override {
        // The bubble's text is "label: text"; the line names the sender apart.
        // The display has made both safe to show.
        const std::string prefix = entry.senderLabel + ": ";
        std::string text = entry.shownText;
        if (text.compare(0, prefix.size(), prefix) == 0)
            text.erase(0, prefix.size());
        WriteLine(STDOUT_FILENO,
                  "message from " + entry.senderLabel + " (" + entry.address + "): " + text);
    }
};

void Say(const std::string& text) {
    WriteLine(STDOUT_FILENO, "drovick-peer: " + text);
}

std::string Where(int port) {
    std::string address = ListenAddress();
    return (address.empty() ? std::string("*") : address) + ":" + std::to_string(port);
}

std::string SharedFolders(int count) {
    return std::to_string(count) + (count == 1 ? " shared folder" : " shared folders");
}

const char* NameOf(PeerServerKind server) {
    switch (server) {
    case PeerServerKind::RemoteFileSystem:
        return "NFSServer";
    case PeerServerKind::Search:
        return "SearchServer";
    case PeerServerKind::Transfer:
        return "TransferServer";
    case PeerServerKind::Messenger:
        break;
    }
    return "InstantMessageServer";
}

// Raised to ourselves when serving has to end without being asked: the main
// thread waits for signals only.
constexpr int kGiveUpSignal = SIGUSR1;

// Says what the servers do, one line each, and ends serving when one that
// cannot be done without gave up on its port.
class ServerReporter : public PeerServicesObserver {
public:
    void ServerStateChanged(PeerServerKind server, PeerServerState state, int port) override {
        const std::string name = NameOf(server);
        switch (state) {
        case PeerServerState::Listening:
            Say(name + " listening on " + Where(port));
            break;
        case PeerServerState::Slow:
            Say(name + " cannot listen on " + Where(port) +
                " yet (is the port taken?); trying again every 5 seconds");
            break;
        case PeerServerState::GaveUp:
            if (PeerServices::IsEssential(server)) {
                Say(name + " could not listen on " + Where(port) + "; stopping");
                m_gaveUp.store(true);
                kill(getpid(), kGiveUpSignal);
            } else {
                Say(name + " could not listen on " + Where(port) + "; serving without it");
            }
            break;
        case PeerServerState::Starting:
        case PeerServerState::Stopped:
            break;
        }
    }
    void SharesChanged(const std::string& line) override { Say(line); }

    bool GaveUp() const { return m_gaveUp.load(); }

private:
    std::atomic<bool> m_gaveUp{false};
};

} // namespace
int RunServe(const std::vector<std::string>& words) {
    std::string error;
    auto arguments = ParseCommand(
        words,
        {"--nfs-port", "--transfer-port", "--search-port", "--result-port", "--messenger-port"}, 0,
        0,
        "usage: drovick-peer serve [--nfs-port N] [--transfer-port N] [--search-port N] "
        "[--result-port N] [--messenger-port N]");
    if (!arguments)
        return kExitUsage;
    auto nfsPort = arguments->Port("--nfs-port", kNfsServerPort, error);
    auto transferPort = arguments->Port("--transfer-port", kTransferServerPort, error);
    auto searchPort = arguments->Port("--search-port", kSearchServerPort, error);
    auto resultPort = arguments->Port("--result-port", kSearchResultPort, error);
    auto messengerPort = arguments->Port("--messenger-port", kMessengerPort, error);
    if (!nfsPort || !transferPort || !searchPort || !resultPort || !messengerPort) {
        Complain(error);
        return kExitUsage;
    }

    PeerServices services("drovick-peer serve");
    std::string holder;
    switch (services.TakeGuard(holder)) {
    case PeerServices::Guard::Taken:
        break;
    case PeerServices::Guard::HeldByOther:
        Complain("Drovick already runs for this user (" +
                 (holder.empty() ? "the window program or another drovick-peer serve" : holder) +
                 "); not starting a second one");
        return kExitFailure;
    case PeerServices::Guard::Unreachable:
        Complain(holder);
        return kExitFailure;
    }

    // A damaged file keeps what was read before the damage and the defaults for
    // the rest, as it does for the window program; serving writes the file only
    // for a change asked for, and never over a damaged one.
    if (!services.LoadSettings(error))
        Complain(error + "; serving the shares that could be read from it");

    // Blocked before any thread starts, so the threads inherit the mask and
    // only the sigwait below ever takes these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, kGiveUpSignal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    LogEvent log;
    StandardOutputLog output;
    log.Register(&output);
    MessagePrinter printer;
    InstantMessageDisplay display(&services.Settings(), nullptr);
    display.Register(&printer);

    // The presence service is asked on a thread of its own, as the window
    // program does: without a running halvserve the library waits out its
    // start limit, and the servers must not wait with it. Until it answered,
    // searches are answered from the own shares and forwarded to nobody.
    PresenceSession presence;
    presence.StartInBackground([](bool registered) {
        if (registered)
            Say("the presence service answered; searches are forwarded to online friends and "
                "anonymous acquaintances");
        else
            Say("the presence service is not available (halvserve could not be reached, or this "
                "user has no registered identity); searches are answered from the own shares "
                "and forwarded to nobody");
    });

    int exitCode = kExitSuccess;
    ServerReporter reporter;
    // Said before the servers start, so that it comes before what they report.
    Say("serving " + SharedFolders(services.Settings().GetShareTable()->GetCount()) + " from " +
        services.SettingsPath().string());
    PeerServerPorts ports;
    ports.remoteFileSystem = *nfsPort;
    ports.transfer = *transferPort;
    ports.search = *searchPort;
    ports.searchResult = *resultPort;
    ports.messenger = *messengerPort;
    if (!services.Start(log, display, presence, ports, &reporter)) {
        Complain("the servers could not be started");
        exitCode = kExitFailure;
    } else {
        for (;;) {
            int caught = 0;
            if (sigwait(&signals, &caught) != 0)
                continue;
            if (caught == SIGINT || caught == SIGTERM) {
                Say(std::string("stopping on ") + (caught == SIGINT ? "SIGINT" : "SIGTERM"));
                break;
            }
            if (caught == SIGHUP)
                services.ReadSharesAgain();
            if (reporter.GaveUp()) {
                exitCode = kExitFailure;
                break;
            }
        }
    }
    services.Stop();
    display.Unregister(&printer);
    log.Unregister(&output);
    Say("stopped");
    if (!presence.HasAnswered()) {
        // The library is still waiting for a presence service that is not
        // there and cannot be told to stop; a stop should not wait out its
        // start limit. Nothing is left to write or give back.
        presence.LetGoOfPendingStart();
        std::_Exit(exitCode);
    }
    return exitCode;
}
