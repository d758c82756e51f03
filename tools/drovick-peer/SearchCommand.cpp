// drovick-peer search QUERY: the search window without the window. The request
// goes to every online friend, every anonymous acquaintance and every --to
// computer; rows are printed as they arrive, and after the listening time the
// final list, sorted as the window sorts it, is printed with row numbers, so
// that --get N can download one of them.

#include "SearchCommand.h"

#include "Commands.h"
#include "Program.h"
#include "SettingsComplaints.h"
#include "app/files/DrovickSettings.h"
#include "app/files/LogEvent.h"
#include "app/files/SafeText.h"
#include "app/peer/search/NetworkSearch.h"
#include "app/peer/transfer/TransferAgentDownload.h"
#include "app/peer/wire/PeerConnection.h"
#include "app/session/PresenceSession.h"
#include "app/session/SettingsFile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <netdb.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: drovick-peer search [--title | --artist] [--seconds N] [--to ADDRESS]... "
    "[--get N [DEST]] [--search-port N] [--result-port N] [--transfer-port N] QUERY";

// A listening time longer than this is surely a mistake.
constexpr int kLongestSearch = 24 * 60 * 60;

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void RequestStop(int) {
    g_stopRequested.store(true);
}

std::string Row(const NetworkSearchRow& row) {
    return SafeText(row.fileTitle) + "\t" + SafeText(row.fileName) + "\t" + SafeText(row.host) +
           "\t" + SafeText(row.location) + "\t" + row.hostAddress;
}

// Prints each row the moment it arrives.
class RowPrinter : public NetworkSearchObserver {
public:
    void RowInserted(int, const NetworkSearchRow& row) override {
        WriteLine(STDOUT_FILENO, Row(row));
    }
    void SearchFailed(const std::string& message) override {
        std::string line = message;
        std::replace(line.begin(), line.end(), '\n', ' ');
        Complain(SafeText(line));
    }
};

// The event log of the search, as the network monitor would show it.
class StandardErrorLog : public LogReceiver {
public:
    void AppendEvent(const std::string& line) override { WriteLine(STDERR_FILENO, line); }
};

// The local address the system would use towards host: where results can
// reach this computer when neither HALVARA_ADDRESS nor the presence service
// names one. "" when host cannot be resolved or reached.
std::string LocalAddressTowards(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return {};
    std::string local;
    // A datagram socket's connect only picks the route; nothing is sent.
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, found->ai_addr, found->ai_addrlen) == 0) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        char text[INET_ADDRSTRLEN] = {};
        if (getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
            inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
            local = text;
    }
    if (probe >= 0)
        close(probe);
    freeaddrinfo(found);
    return local;
}

// The people a search reaches: the presence library's friends and anonymous
// acquaintances when it is initialised, and the computers named with --to,
// which are asked first and count as friends. With --to hosts the search runs
// even without the presence service.
class SearchTargets : public PresenceDirectory {
public:
    SearchTargets(PresenceDirectory& library, std::vector<std::string> hosts, int searchPort)
        : m_library(library)
        , m_hosts(std::move(hosts))
        , m_searchPort(searchPort) {}

    bool IsInitialized() override { return m_library.IsInitialized() || !m_hosts.empty(); }

    // Results are sent to this address, and the search listens only on
    // HALVARA_ADDRESS when that is set, so that address wins.
    std::string MyAddress() override {
        std::string address = ListenAddress();
        if (address.empty() && m_library.IsInitialized())
            address = m_library.MyAddress();
        if ((address.empty() || address == "0.0.0.0") && !m_hosts.empty())
            address = LocalAddressTowards(m_hosts.front(), m_searchPort);
        return address;
    }

    std::string MyName() override { return m_library.MyName(); }

    std::vector<std::string> FriendAddresses() override {
        std::vector<std::string> addresses = m_hosts;
        // A --to computer that is also a friend is asked once; a second
        // request with the same stamp would be dropped there anyway.
        for (std::string& address : m_library.FriendAddresses())
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
                addresses.push_back(std::move(address));
        return addresses;
    }

    std::optional<std::vector<std::string>> AnonymousAddresses(bool refresh) override {
        return m_library.AnonymousAddresses(refresh);
    }

private:
    PresenceDirectory& m_library;
    const std::vector<std::string> m_hosts;
    const int m_searchPort;
};

// Downloads one row of the final list with the transfer agent's download into
// the folder, under a temporary name renamed only once the file arrived whole.
int DownloadRow(const NetworkSearchRow& row, const std::string& folder, int port) {
    std::string target;
    if (!NetworkSearchResults::DownloadTarget(folder, row.fileName, target)) {
        Complain("the row's file name \"" + SafeText(row.fileName) +
                 "\" is not one plain name that can be written into " + folder);
        return kExitFailure;
    }
    const std::string source = row.location + "/" + row.fileName;
    if (source.size() > kTransferItemPathText) {
        Complain("the row's path is longer than a download request carries");
        return kExitFailure;
    }
    fs::path partial = target;
    partial += ".drovick-part";
    TransferItem item{source, row.hostAddress, partial.string(), kLocalHostAddress};
    TransferDownloadOptions options;
    options.port = port;
    std::atomic<bool> running{true};
    std::int32_t announced = -1;
    std::thread watcher;
    std::atomic<bool> done{false};
    // Ctrl+C during the download stops it before its next block.
    watcher = std::thread([&] {
        while (!done.load()) {
            if (g_stopRequested.load())
                running.store(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const DownloadResult result = DownloadTransferItem(
        item, nullptr, running, [&](std::int64_t, std::int32_t size) { announced = size; },
        options);
    done.store(true);
    watcher.join();

    std::error_code failure;
    if (result == DownloadResult::Done) {
        const auto size = fs::file_size(partial, failure);
        if (!failure && announced > 0 && size == static_cast<std::uintmax_t>(announced)) {
            fs::rename(partial, target, failure);
            if (!failure) {
                WriteLine(STDOUT_FILENO, "downloaded " + SafeText(source) + " from " +
                                             row.hostAddress + " to " + target + " (" +
                                             std::to_string(size) + " bytes)");
                return kExitSuccess;
            }
            Complain("cannot put the file in place at " + target + ": " + failure.message());
        } else {
            Complain("the file arrived with another size than announced");
        }
    } else {
        Complain("the download of " + SafeText(source) + " from " + row.hostAddress +
                 " failed: " + DownloadResultName(result));
    }
    fs::remove(partial, failure);
    return kExitFailure;
}

} // namespace

std::optional<SearchCommandOptions> ParseSearchWords(const std::vector<std::string>& words,
                                                     std::string& error) {
    SearchCommandOptions options;
    options.searchPort = kSearchServerPort;
    options.resultPort = kSearchResultPort;
    options.transferPort = kTransferServerPort;
    std::vector<std::string> positional;
    // The word after --get N (its index among the words, then among the
    // positional words), which is DEST only when a QUERY follows as well.
    std::optional<std::size_t> destinationWord;
    std::optional<std::size_t> destinationAt;
    bool optionsEnded = false;
    bool modeGiven = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            if (destinationWord && *destinationWord == i)
                destinationAt = positional.size();
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--title" || word == "--artist") {
            if (modeGiven) {
                error = "--title and --artist exclude each other";
                return std::nullopt;
            }
            modeGiven = true;
            options.mode = word == "--title" ? 1 : 2;
            continue;
        }
        const bool known = word == "--seconds" || word == "--to" || word == "--get" ||
                           word == "--search-port" || word == "--result-port" ||
                           word == "--transfer-port";
        if (!known) {
            error = "unknown option " + word;
            return std::nullopt;
        }
        if (i + 1 >= words.size()) {
            error = "option " + word + " needs a value";
            return std::nullopt;
        }
        const std::string& value = words[++i];
        if (word == "--to") {
            if (value.empty()) {
                error = "--to wants an address";
                return std::nullopt;
            }
            options.hosts.push_back(value);
            continue;
        }
        if (word == "--seconds") {
            auto seconds = ParseNumberWithin(value, 1, kLongestSearch);
            if (!seconds) {
                error = "--seconds wants a number from 1 to " + std::to_string(kLongestSearch);
                return std::nullopt;
            }
            options.seconds = *seconds;
            continue;
        }
        if (word == "--get") {
            auto row = ParseNumberWithin(value, 1, 1 << 30);
            if (!row) {
                error = "--get wants a row number from 1";
                return std::nullopt;
            }
            options.getRow = *row;
            if (i + 1 < words.size())
                destinationWord = i + 1;
            continue;
        }
        auto port = ParseNumberWithin(value, 1, 65535);
        if (!port) {
            error = word + " wants a port from 1 to 65535, not \"" + value + "\"";
            return std::nullopt;
        }
        (word == "--search-port"   ? options.searchPort
         : word == "--result-port" ? options.resultPort
                                   : options.transferPort) = *port;
    }
    if (destinationAt && positional.size() == 2) {
        options.destination = positional[*destinationAt];
        positional.erase(positional.begin() + static_cast<std::ptrdiff_t>(*destinationAt));
    }
    if (positional.size() != 1) {
        error = kUsage;
        return std::nullopt;
    }
    options.query = positional.front();
    if (options.query.size() > SearchRequest::kOriginQueryText) {
        error = "QUERY is longer than the " + std::to_string(SearchRequest::kOriginQueryText) +
                " characters a search request carries";
        return std::nullopt;
    }
    return options;
}

int RunSearch(const std::vector<std::string>& words) {
    std::string error;
    const auto options = ParseSearchWords(words, error);
    if (!options) {
        Complain(error);
        return kExitUsage;
    }

    SettingsFile file;
    DrovickSettings settings;
    if (!LoadOrComplain(file, settings))
        return kExitFailure;
    std::string folder = options->destination;
    if (options->getRow > 0 && folder.empty()) {
        folder = settings.downloadDirectory;
        if (folder.empty()) {
            Complain("the settings name no default download folder; give DEST after --get N");
            return kExitUsage;
        }
    }
    std::error_code failure;
    if (options->getRow > 0 && !fs::is_directory(folder, failure)) {
        Complain("the download folder " + folder + " is not a folder");
        return kExitFailure;
    }

    OnStopSignals(RequestStop);
    PresenceSession library;
    if (!library.Start()) {
        if (options->hosts.empty()) {
            Complain("Halvara is not initialized; cannot run RaskSearch. (halvserve could not be "
                     "reached, or this user has no registered identity; --to ADDRESS searches "
                     "a computer without it)");
            return kExitFailure;
        }
        Complain("the presence service is not available; searching only the --to computers");
    }
    SearchTargets targets(library, options->hosts, options->searchPort);
    const std::string own = targets.MyAddress();
    if (!AddressBytes(own) || own == "0.0.0.0") {
        Complain("this computer's address is not known, so no results could reach it; set "
                 "HALVARA_ADDRESS");
        return kExitFailure;
    }

    LogEvent log;
    StandardErrorLog monitor;
    log.Register(&monitor);
    RowPrinter printer;
    NetworkSearch::Options searchOptions;
    searchOptions.serverPort = options->searchPort;
    searchOptions.resultPort = options->resultPort;
    searchOptions.listenAddress = ListenAddress();
    // A command is not kept waiting for a port the window program holds.
    searchOptions.listenAttempts = 1;
    int code = kExitSuccess;
    std::vector<NetworkSearchRow> rows;
    {
        NetworkSearch search(&targets, &log, &printer, searchOptions);
        search.Start(options->mode, options->query);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(options->seconds);
        while (!g_stopRequested.load() && std::chrono::steady_clock::now() < deadline &&
               search.IsActive())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const bool ended = !search.IsActive();
        const bool sent = search.RequestSent();
        search.Stop(true);
        if (ended && !sent) {
            Complain(search.ListeningPort() == 0
                         ? "cannot listen for results on " +
                               (searchOptions.listenAddress.empty() ? std::string("*")
                                                                    : searchOptions.listenAddress) +
                               ":" + std::to_string(options->resultPort)
                         : std::string("the search could not be sent"));
            code = kExitFailure;
        }
        rows = search.Results().Rows();
    }
    log.Unregister(&monitor);
    if (code != kExitSuccess)
        return code;

    // The final list, as the window sorts it; --get counts from 1 in it.
    for (std::size_t i = 0; i < rows.size(); ++i)
        WriteLine(STDOUT_FILENO, std::to_string(i + 1) + "\t" + Row(rows[i]));
    Complain(std::to_string(rows.size()) + (rows.size() == 1 ? " result" : " results"));
    if (options->getRow == 0)
        return kExitSuccess;
    if (static_cast<std::size_t>(options->getRow) > rows.size()) {
        Complain("there is no row " + std::to_string(options->getRow));
        return kExitFailure;
    }
    if (g_stopRequested.load())
        return kExitFailure;
    return DownloadRow(rows[static_cast<std::size_t>(options->getRow) - 1], folder,
                       options->transferPort);
}
