// drovick-peer get HOST PATH [DEST]: downloads one file from a friend's
// transfer server. The file is written beside its destination as
// DEST.drovick-part and renamed only once it arrived whole (and, where the
// server offers it, its digest matched), so DEST is either the complete file
// or untouched; run again, the command goes on from the part file.

#include "Commands.h"
#include "HostAddress.h"
#include "Program.h"
#include "ProgressDisplay.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/transfer/TransferPartRecord.h"
#include "app/peer/transfer/TransferResume.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/session/PresenceSession.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::atomic<bool> g_running{true};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void StopDownload(int) {
    g_running.store(false);
}

// DEST as given, inside DEST when it is a folder, or the current folder.
fs::path Destination(const std::vector<std::string>& words, const std::string& name) {
    if (words.size() < 3)
        return fs::current_path() / name;
    fs::path given = words[2];
    std::error_code failure;
    if (fs::is_directory(given, failure))
        return given / name;
    return given;
}

// The folder the file goes to must be there already. It is not made: a
// mistyped folder would otherwise take the download where nobody looks for it.
bool DestinationFolderExists(const fs::path& destination, std::string& error) {
    const fs::path folder = destination.parent_path();
    std::error_code failure;
    if (folder.empty() || fs::is_directory(folder, failure))
        return true;
    error = "cannot save to " + destination.string() + ": the folder " + folder.string() +
            (fs::exists(folder, failure) ? " is not a folder" : " does not exist");
    return false;
}

std::string WhyNot(DownloadResult result, const std::string& host, const std::string& address,
                   int port, const std::string& path, const std::string& partial,
                   const ProgressDisplay& progress, std::int64_t received) {
    switch (result) {
    case DownloadResult::WrongDirection:
        return address + " is this computer; there is nothing to download";
    case DownloadResult::CannotCreate:
        return "cannot create " + partial + " beside the destination";
    case DownloadResult::NoAddress:
        return "no address for " + host;
    case DownloadResult::CannotConnect:
        return "cannot reach the transfer server of " + host + " at " + address + ":" +
               std::to_string(port);
    case DownloadResult::RequestFailed:
        return "the request could not be sent to " + host;
    case DownloadResult::Refused:
        return host + " refused " + path +
               ": it is not a file inside the shared folders, or it is empty, or 2 GiB or larger";
    case DownloadResult::ReceiveFailed:
        return "the connection to " + host + " broke after " + std::to_string(received) + " of " +
               std::to_string(progress.Size()) + " bytes";
    case DownloadResult::WriteFailed:
        return "could not write " + partial + " (is the disk full?)";
    case DownloadResult::Stopped:
        return "stopped";
    case DownloadResult::SourceChanged:
        return path + " changed on " + host + " since the download began";
    case DownloadResult::DigestMismatch:
        return "Digest mismatch: " + partial + " differs from " + path + " on " + host;
    case DownloadResult::TooLarge:
        return host + " offers " + path + " only in a form limited to files under 2 GiB";
    case DownloadResult::Done:
        break;
    }
    return "failed";
}

} // namespace

int RunGet(const std::vector<std::string>& words) {
    auto arguments = ParseCommand(words, {"--transfer-port"}, 2, 3,
                                  "usage: drovick-peer get HOST PATH [DEST] [--transfer-port N]");
    if (!arguments)
        return kExitUsage;
    auto port = PortOption(*arguments, "--transfer-port", kTransferServerPort);
    if (!port)
        return kExitUsage;
    std::string error;
    const std::string& host = arguments->Words()[0];
    const std::string& path = arguments->Words()[1];
    const std::string name = path.substr(path.rfind('/') + 1);
    if (path.empty() || path.front() != '/' || name.empty()) {
        Complain("PATH is a file on the friend's computer and begins with \"/\"");
        return kExitUsage;
    }
    // A request carries this much of the path; a longer one would name another file.
    if (path.size() > kTransferSourcePathText) {
        Complain("PATH is longer than the " + std::to_string(kTransferSourcePathText) +
                 " characters a download request carries");
        return kExitUsage;
    }
    const fs::path destination = Destination(arguments->Words(), name);
    if (!DestinationFolderExists(destination, error)) {
        Complain(error);
        return kExitFailure;
    }
    const fs::path partial = PartFileOf(destination);

    PresenceSession friends;
    const std::string address = ResolveHost(host, friends, error);
    if (address.empty()) {
        Complain(error);
        return kExitFailure;
    }

    OnStopSignals(StopDownload);
    ProgressDisplay progress(STDOUT_FILENO, isatty(STDOUT_FILENO) == 1);
    std::int64_t received = 0;
    bool stateShown = false;
    TransferItem item{path, address, destination.string(), kLocalHostAddress};
    TransferDownloadOptions options;
    options.port = *port;
    const DownloadOutcome outcome = DownloadResumable(
        item, &friends, g_running,
        [&](bool resuming, std::int64_t got, std::int64_t size) {
            received = std::min<std::int64_t>(got, size);
            // The state the transfer agent's window would show, once.
            if (!stateShown) {
                stateShown = true;
                WriteLine(STDOUT_FILENO,
                          resuming ? ProgressState(true, static_cast<int>(received * 100 / size))
                                   : std::string("Transferring"));
            }
            progress.Update(got, size);
        },
        options);
    progress.Finish();
    const DownloadResult result = outcome.result;
    if (result != DownloadResult::Stopped)
        WriteLine(STDOUT_FILENO, FinalTransferState(outcome));

    if (result == DownloadResult::Done) {
        WriteLine(STDOUT_FILENO, "downloaded " + path + " from " + host + " to " +
                                     destination.string() + " (" + std::to_string(outcome.size) +
                                     " bytes)");
        return kExitSuccess;
    }
    // What arrived stays as the part file, so the same command goes on from there.
    Complain(WhyNot(result, host, address, *port, path, partial.string(), progress, received));
    return kExitFailure;
}
