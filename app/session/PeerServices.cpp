#include "app/session/PeerServices.h"

#include "app/files/DrovickSettings.h"
#include "app/files/SafeText.h"
#include "app/files/ShareTable.h"
#include "app/peer/messages/InstantMessageServer.h"
#include "app/peer/remotefs/NFSServer.h"
#include "app/peer/search/SearchServer.h"
#include "app/peer/transfer/TransferServer.h"
#include "app/peer/wire/PeerWire.h"
#include "app/session/PeerServerWatch.h"
#include "app/session/SettingsFile.h"
#include "app/session/ShareChange.h"
#include "app/session/ShareRequestDesk.h"
#include "platform/SingleInstanceGuard.h"

#include <atomic>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>

namespace {

// How long the desk's thread waits for a request before it looks at its stop
// flag again.
constexpr std::chrono::milliseconds kDeskTurn{200};

std::string SharedFolders(int count) {
    return std::to_string(count) + (count == 1 ? " shared folder" : " shared folders");
}

PeerServerState StateAfter(PeerServer::ListenEvent event) {
    switch (event) {
    case PeerServer::ListenEvent::Listening:
        return PeerServerState::Listening;
    case PeerServer::ListenEvent::GaveUp:
        return PeerServerState::GaveUp;
    case PeerServer::ListenEvent::Stopped:
        break;
    }
    return PeerServerState::Stopped;
}

} // namespace

PeerServerPorts PeerServerPorts::Defaults() {
    return {kNfsServerPort, kTransferServerPort, kSearchServerPort, kSearchResultPort,
            kMessengerPort};
}

// What lives from the guard to the end: the guard, the settings and the desk
// that takes share changes while the guard is held.
struct PeerServices::Held {
    SettingsFile file;
    DrovickSettings settings;
    PeerServerPatience patience;
    PeerServerPorts ports = PeerServerPorts::Defaults();
    std::unique_ptr<platform::SingleInstanceGuard> guard;
    std::unique_ptr<ShareRequestDesk> desk;
    std::string deskProblem;
    // One change of the served shares at a time: the desk's and a reread.
    std::mutex shareMutex;
};

// What lives from Start to Stop.
struct PeerServices::Running {
    std::unique_ptr<PeerServerWatch> watch;
    std::unique_ptr<NFSServer> nfs;
    std::unique_ptr<SearchServer> search;
    std::unique_ptr<TransferServer> transfer;
    std::unique_ptr<InstantMessageServer> messenger;
    std::atomic<bool> deskRunning{false};
    std::thread deskThread;
};

PeerServices::PeerServices(std::string programName)
    : m_programName(std::move(programName))
    , m_held(std::make_unique<Held>()) {}

PeerServices::~PeerServices() {
    Stop();
}

PeerServices::Guard PeerServices::TakeGuard(std::string& holder) {
    holder.clear();
    if (m_held->guard)
        return Guard::Taken;
    try {
        m_held->guard = platform::SingleInstanceGuard::TryAcquire(kDrovickGuardName, m_programName);
        if (!m_held->guard) {
            if (!platform::SingleInstanceGuard::IsHeld(kDrovickGuardName)) {
                holder = "cannot take Drovick's single-instance guard in the session folder";
                return Guard::Unreachable;
            }
            if (auto named = platform::SingleInstanceGuard::HolderOf(kDrovickGuardName))
                holder = named->program + ", process " + std::to_string(named->processId);
            return Guard::HeldByOther;
        }
    } catch (const std::exception& failure) {
        holder = std::string("cannot reach the session folder: ") + failure.what();
        return Guard::Unreachable;
    }
    // Listening before the file is read: a share command that finds nobody
    // listening yet changes the file, which is then mostly read after it.
    try {
        m_held->desk = std::make_unique<ShareRequestDesk>(
            [this](const ShareChange& change) { return ChangeServedShares(change); });
    } catch (const std::exception& failure) {
        m_held->deskProblem = std::string("share and unshare cannot reach this serve (") +
                              failure.what() + "); they change the file, which SIGHUP reads again";
    }
    return Guard::Taken;
}

// The file stays the one record: the change starts from what it holds, as the
// command would, and the served table then follows the file as after a reread.
ShareChangeOutcome PeerServices::ChangeServedShares(const ShareChange& change) {
    std::lock_guard lock(m_held->shareMutex);
    PeerServerWatch& watch = *m_running->watch;
    DrovickSettings fresh;
    ShareChangeOutcome outcome = ChangeSharesInFile(m_held->file, change, fresh);
    if (outcome.made && !PublishSharesOf(fresh))
        watch.SharesLine("the changed shares could not be served; SIGHUP reads them again");
    if (outcome.made && !outcome.lines.empty())
        watch.SharesLine(SafeText(outcome.lines.front()) + "; serving " +
                         SharedFolders(m_held->settings.GetShareTable()->GetCount()));
    else if (!outcome.made)
        watch.SharesLine("shares left as they were: " + SafeText(outcome.refusal));
    return outcome;
}

bool PeerServices::LoadSettings(std::string& error) {
    return m_held->file.Load(m_held->settings, error);
}

bool PeerServices::SaveSettings(std::string& error) {
    std::lock_guard lock(m_held->shareMutex);
    return m_held->file.Save(m_held->settings, error);
}

bool PeerServices::ChangeShares(const std::function<bool(ShareTable&, std::string&)>& change,
                                std::string& error) {
    std::lock_guard lock(m_held->shareMutex);
    if (!change(*m_held->settings.GetShareTable(), error))
        return false;
    return m_held->file.Save(m_held->settings, error);
}

const std::filesystem::path& PeerServices::SettingsPath() const {
    return m_held->file.Path();
}

DrovickSettings& PeerServices::Settings() {
    return m_held->settings;
}

void PeerServices::SetPatience(const PeerServerPatience& patience) {
    m_held->patience = patience;
}

bool PeerServices::IsEssential(PeerServerKind server) {
    return server == PeerServerKind::RemoteFileSystem || server == PeerServerKind::Transfer;
}

bool PeerServices::PublishSharesOf(const DrovickSettings& fresh) {
    // The servers hold the same table, so the next request already sees it.
    const auto block = fresh.GetShareTable()->Serialize();
    return m_held->settings.GetShareTable()->Deserialize(block.data(), block.size()) >= 0;
}

bool PeerServices::Start(LogEvent& log, InstantMessageDisplay& display, PresenceDirectory& presence,
                         const PeerServerPorts& ports, PeerServicesObserver* observer) {
    if (m_running)
        return false;
    const PeerServerPatience& patience = m_held->patience;
    m_held->ports = ports;
    auto running = std::make_unique<Running>();
    running->watch = std::make_unique<PeerServerWatch>(observer, ports, patience.slowAfter);
    PeerServer::Timing timing;
    timing.listenAttempts = patience.listenAttempts;
    timing.listenRetryDelay = patience.listenRetryDelay;
    const auto& table = m_held->settings.GetShareTable();
    running->nfs = std::make_unique<NFSServer>(table, &log, ports.remoteFileSystem, timing,
                                               NFSServer::Limits{});
    SearchServer::Ports searchPorts;
    searchPorts.listen = ports.search;
    searchPorts.forward = ports.search;
    searchPorts.reply = ports.searchResult;
    running->search = std::make_unique<SearchServer>(table, &log, &presence, searchPorts, timing);
    running->transfer = std::make_unique<TransferServer>(table, &log, ports.transfer, timing,
                                                         TransferServer::Limits{});
    running->messenger = std::make_unique<InstantMessageServer>(&display, ports.messenger, timing,
                                                                InstantMessageServer::Limits{});

    PeerServerWatch& watch = *running->watch;
    // kPeerServerKinds' order.
    PeerServer* const order[] = {running->nfs.get(), running->search.get(), running->transfer.get(),
                                 running->messenger.get()};
    for (std::size_t i = 0; i < std::size(order); ++i) {
        order[i]->SetStateListener(
            [&watch, kind = kPeerServerKinds[i]](PeerServer::ListenEvent event) {
                watch.Change(kind, StateAfter(event));
            });
    }
    m_running = std::move(running);
    if (!m_held->deskProblem.empty())
        m_running->watch->SharesLine(m_held->deskProblem);

    bool started = true;
    for (PeerServer* server : order)
        started = started && server->Start();
    if (started && m_held->desk) {
        m_running->deskRunning.store(true);
        m_running->deskThread = std::thread([this, desk = m_held->desk.get()] {
            while (m_running->deskRunning.load())
                desk->AnswerArriving(kDeskTurn);
        });
    }
    return started;
}

void PeerServices::Stop() {
    if (!m_running)
        return;
    Running& running = *m_running;
    running.deskRunning.store(false);
    if (running.deskThread.joinable())
        running.deskThread.join();
    // All are told first, so their waits for a silent peer end together.
    PeerServer* const servers[] = {running.nfs.get(), running.search.get(), running.transfer.get(),
                                   running.messenger.get()};
    for (PeerServer* server : servers)
        server->Stop(false);
    // Waited for in their stopping order: search first, the messenger last.
    for (PeerServer* server : {servers[1], servers[0], servers[2], servers[3]})
        server->Stop(true);
    // A server that gave up has no thread left to say it stopped.
    for (const auto& server : kPeerServerKinds)
        running.watch->Change(server, PeerServerState::Stopped);
    // The servers go before the watch their listeners point into; the watch
    // tells what is still queued before its thread ends.
    running.messenger.reset();
    running.transfer.reset();
    running.search.reset();
    running.nfs.reset();
    m_running.reset();
}

PeerServerState PeerServices::StateOf(PeerServerKind server) const {
    return m_running ? m_running->watch->StateOf(server) : PeerServerState::Stopped;
}

int PeerServices::PortOf(PeerServerKind server) const {
    const PeerServerPorts& ports = m_held->ports;
    switch (server) {
    case PeerServerKind::RemoteFileSystem:
        return ports.remoteFileSystem;
    case PeerServerKind::Search:
        return ports.search;
    case PeerServerKind::Transfer:
        return ports.transfer;
    case PeerServerKind::Messenger:
        break;
    }
    return ports.messenger;
}

void PeerServices::ReadSharesAgain() {
    if (!m_running)
        return;
    std::lock_guard lock(m_held->shareMutex);
    DrovickSettings fresh;
    std::string error;
    PeerServerWatch& watch = *m_running->watch;
    if (!m_held->file.Load(fresh, error))
        watch.SharesLine(error + "; the shares stay as they were");
    else if (!PublishSharesOf(fresh))
        watch.SharesLine("the shares could not be read again; they stay as they were");
    else
        watch.SharesLine(
            "shares read again: " + std::to_string(m_held->settings.GetShareTable()->GetCount()) +
            " shared folders");
}
