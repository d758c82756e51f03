// drovick-peer serve: the remote file system server and the transfer server of
// the current user, with the shares of the settings file, until SIGTERM or
// SIGINT. SIGHUP reads the shares again, so `share` and `unshare` take effect
// without a restart. Every event of the servers is one line on standard output.

#include "Arguments.h"
#include "Commands.h"
#include "SettingsFile.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/ShareTable.h"
#include "app/peer/NFSServer.h"
#include "app/peer/PeerConnection.h"
#include "app/peer/TransferServer.h"
#include "platform/SingleInstanceGuard.h"

#include <chrono>
#include <csignal>
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

void Say(const std::string& text) {
    WriteLine(STDOUT_FILENO, "drovick-peer: " + text);
}

std::string Where(int port) {
    std::string address = ListenAddress();
    return (address.empty() ? std::string("*") : address) + ":" + std::to_string(port);
}

// Replaces the running table's entries with those of the settings file; the
// servers hold the same table, so the next request already sees the change.
void ReadSharesAgain(ShareTable& running) {
    SettingsFile file;
    DrovickSettings fresh;
    std::string error;
    if (!file.Load(fresh, error)) {
        Say(error + "; the shares stay as they were");
        return;
    }
    const auto block = fresh.GetShareTable()->Serialize();
    if (running.Deserialize(block.data(), block.size()) < 0) {
        Say("the shares could not be read again; they stay as they were");
        return;
    }
    Say("shares read again: " + std::to_string(running.GetCount()) + " shared folders");
}

// What the user has been told about one server's listening socket.
struct Watched {
    const PeerServer& server;
    const char* name;
    bool announced = false;
    bool warned = false;
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
    if (server.ExitCode() == 0) {
        Say(name + " could not listen on " + Where(server.Port()) + "; stopping");
        return false;
    }
    return true;
}

} // namespace

int RunServe(const std::vector<std::string>& words) {
    std::string error;
    auto arguments = Arguments::Parse(words, {"--nfs-port", "--transfer-port"}, error);
    if (!arguments || !arguments->Words().empty()) {
        Complain(arguments ? "usage: drovick-peer serve [--nfs-port N] [--transfer-port N]"
                           : error);
        return kExitUsage;
    }
    auto nfsPort = arguments->Port("--nfs-port", kNfsServerPort, error);
    auto transferPort = arguments->Port("--transfer-port", kTransferServerPort, error);
    if (!nfsPort || !transferPort) {
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

    // A damaged file keeps what was read before the damage and the defaults for
    // the rest, as it does for the window program; serving never writes the file.
    SettingsFile file;
    DrovickSettings settings;
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
    int exitCode = kExitSuccess;
    {
        NFSServer nfs(&table, &log, *nfsPort);
        TransferServer transfer(&table, &log, *transferPort);
        if (!nfs.Start() || !transfer.Start()) {
            Complain("the servers could not be started");
            exitCode = kExitFailure;
        } else {
            const int count = table.GetCount();
            Say("serving " + std::to_string(count) +
                (count == 1 ? " shared folder" : " shared folders") + " from " +
                file.Path().string());
            Watched watchedNfs{nfs, "NFSServer"};
            Watched watchedTransfer{transfer, "TransferServer"};
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
                const auto running = std::chrono::steady_clock::now() - started;
                if (!Watch(watchedNfs, running) || !Watch(watchedTransfer, running)) {
                    exitCode = kExitFailure;
                    break;
                }
            }
        }
        // Both are told first, so their waits for a silent peer end together.
        nfs.Stop(false);
        transfer.Stop(false);
        nfs.Stop(true);
        transfer.Stop(true);
    }
    log.Unregister(&output);
    Say("stopped");
    return exitCode;
}
