// drovick-peer serve: the remote file system, search, transfer and instant
// message servers of the current user, with the shares of the settings file,
// until SIGTERM or SIGINT. `share` and `unshare` hand their change to it over
// the session message bus, and it changes the file and serves the new shares
// at once; SIGHUP reads the file again after a change made by other means.
// Every event of the servers, and every message received, is one line on
// standard output.

#include "Commands.h"
#include "Program.h"
#include "SettingsFile.h"
#include "ShareRequestDesk.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/SafeText.h"
#include "app/files/ShareTable.h"
#include "app/peer/messages/InstantMessageDisplay.h"
#include "app/peer/messages/InstantMessageServer.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/search/SearchServer.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/session/PresenceSession.h"
#include "platform/SingleInstanceGuard.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <unistd.h>

namespace {

// The window program's guard: a user runs either it or one serve, never both,
// as both would claim the same ports and the same settings file.
constexpr const char* kGuardName = kDrovickGuardName;

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

// Replaces the running table's entries with those of fresh; the servers hold
// the same table, so the next request already sees the change.
bool Publish(const DrovickSettings& fresh, ShareTable& running) {
    const auto block = fresh.GetShareTable()->Serialize();
    return running.Deserialize(block.data(), block.size()) >= 0;
}

void ReadSharesAgain(ShareTable& running) {
    SettingsFile file;
    DrovickSettings fresh;
    std::string error;
    if (!file.Load(fresh, error)) {
        Say(error + "; the shares stay as they were");
        return;
    }
    if (!Publish(fresh, running)) {
        Say("the shares could not be read again; they stay as they were");
        return;
    }
    Say("shares read again: " + std::to_string(running.GetCount()) + " shared folders");
}

// A change asked for by share or unshare. The file stays the one record: the
// change starts from what it holds, as the command would, and the running
// table then follows the file as after SIGHUP.
ShareChangeOutcome ChangeRunningShares(const ShareChange& change, ShareTable& running) {
    SettingsFile file;
    DrovickSettings fresh;
    ShareChangeOutcome outcome = ChangeSharesInFile(file, change, fresh);
    if (outcome.made && !Publish(fresh, running))
        Say("the changed shares could not be served; SIGHUP reads them again");
    if (outcome.made && !outcome.lines.empty())
        Say(SafeText(outcome.lines.front()) + "; serving " + SharedFolders(running.GetCount()));
    else if (!outcome.made)
        Say("shares left as they were: " + SafeText(outcome.refusal));
    return outcome;
}

// What the user has been told about one server's listening socket.
struct Watched {
    const PeerServer& server;
    const char* name;
    // Without it serving makes no sense; the others are served when they can.
    bool essential = true;
    bool announced = false;
    bool warned = false;
    bool gaveUp = false;
};

// A server that has not got its port this long after the start is told about
// while it keeps trying.
constexpr auto kSlowListen = std::chrono::seconds(2);

// Reports a server that took its port, is still waiting for it, or gave up on
// it. False once it gave up.
bool Watch(Watched& watched, std::chrono::steady_clock::duration running) {
    const PeerServer& server = watched.server;
    const std::string name = watched.name;
    if (!watched.announced && server.IsListening()) {
        watched.announced = true;
        Say(name + " listening on " + Where(server.Port()));
    }
    if (!watched.announced && !watched.warned && running > kSlowListen) {
        watched.warned = true;
        Say(name + " cannot listen on " + Where(server.Port()) +
            " yet (is the port taken?); trying again every 5 seconds");
    }
    if (server.ExitCode() == 0 && !watched.gaveUp) {
        watched.gaveUp = true;
        if (watched.essential) {
            Say(name + " could not listen on " + Where(server.Port()) + "; stopping");
            return false;
        }
        Say(name + " could not listen on " + Where(server.Port()) + "; serving without it");
    }
    return !(watched.gaveUp && watched.essential);
}

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

    std::unique_ptr<platform::SingleInstanceGuard> guard;
    try {
        guard = platform::SingleInstanceGuard::TryAcquire(kGuardName);
    } catch (const std::exception& failure) {
        Complain(std::string("cannot reach the session folder: ") + failure.what());
        return kExitFailure;
    }
    if (!guard) {
        Complain(platform::SingleInstanceGuard::IsHeld(kGuardName)
                     ? "Drovick already runs for this user (the window program or another "
                       "drovick-peer serve); not starting a second one"
                     : "cannot take Drovick's single-instance guard in the session folder");
        return kExitFailure;
    }

    // Listening before the file is read: a share command that finds nobody
    // listening yet changes the file, which is then mostly read after it.
    DrovickSettings settings;
    std::unique_ptr<ShareRequestDesk> desk;
    try {
        desk = std::make_unique<ShareRequestDesk>([&settings](const ShareChange& change) {
            return ChangeRunningShares(change, *settings.GetShareTable());
        });
    } catch (const std::exception& failure) {
        Say(std::string("share and unshare cannot reach this serve (") + failure.what() +
            "); they change the file, which SIGHUP reads again");
    }

    // A damaged file keeps what was read before the damage and the defaults for
    // the rest, as it does for the window program; serving writes the file only
    // for a change asked for, and never over a damaged one.
    SettingsFile file;
    if (!file.Load(settings, error))
        Complain(error + "; serving the shares that could be read from it");
    ShareTable& table = *settings.GetShareTable();

    // Blocked before any thread starts, so the servers' threads inherit the mask
    // and only the sigtimedwait below ever takes these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    LogEvent log;
    StandardOutputLog output;
    log.Register(&output);
    MessagePrinter printer;
    InstantMessageDisplay display(&settings, nullptr);
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
    {
        NFSServer nfs(&table, &log, *nfsPort);
        TransferServer transfer(&table, &log, *transferPort);
        SearchServer::Ports searchPorts;
        searchPorts.listen = *searchPort;
        searchPorts.forward = *searchPort;
        searchPorts.reply = *resultPort;
        SearchServer search(&table, &log, &presence, searchPorts);
        InstantMessageServer messenger(&display, *messengerPort);
        if (!nfs.Start() || !transfer.Start() || !search.Start() || !messenger.Start()) {
            Complain("the servers could not be started");
            exitCode = kExitFailure;
        } else {
            Say("serving " + SharedFolders(table.GetCount()) + " from " + file.Path().string());
            Watched watchedNfs{nfs, "NFSServer"};
            Watched watchedTransfer{transfer, "TransferServer"};
            Watched watchedSearch{search, "SearchServer", false};
            Watched watchedMessenger{messenger, "InstantMessageServer", false};
            const auto started = std::chrono::steady_clock::now();
            const struct timespec tick { 0, 100'000'000 };
            for (;;) {
                const int caught = sigtimedwait(&signals, nullptr, &tick);
                if (caught == SIGINT || caught == SIGTERM) {
                    Say(std::string("stopping on ") + (caught == SIGINT ? "SIGINT" : "SIGTERM"));
                    break;
                }
                if (caught == SIGHUP)
                    ReadSharesAgain(table);
                if (desk)
                    desk->AnswerArrived();
                const auto running = std::chrono::steady_clock::now() - started;
                const bool essentialsServe =
                    Watch(watchedNfs, running) && Watch(watchedTransfer, running);
                Watch(watchedSearch, running);
                Watch(watchedMessenger, running);
                if (!essentialsServe) {
                    exitCode = kExitFailure;
                    break;
                }
            }
        }
        // All are told first, so their waits for a silent peer end together.
        nfs.Stop(false);
        transfer.Stop(false);
        search.Stop(false);
        messenger.Stop(false);
        nfs.Stop(true);
        transfer.Stop(true);
        search.Stop(true);
        messenger.Stop(true);
    }
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
