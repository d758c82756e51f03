#include "support/HalvdirServer.h"

#include "support/PostgresServer.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {
// Generous: the sanitizers and other builds share two cores.
constexpr std::chrono::seconds kLimit{20};
} // namespace

HalvdirServer::HalvdirServer(std::vector<std::string> serveArguments, Launch launch,
                             std::string address)
    : m_database(m_folder.Path() / "directory.db")
    , m_serveArguments(std::move(serveArguments))
    , m_address(std::move(address))
    , m_port(FreeTcpPort(m_address)) {
    m_location = m_database.string();
    if (PostgresRequested()) {
        if (auto* server = PostgresServer::Shared()) {
            m_postgresDatabase = server->NewDatabase();
            m_location = server->Uri(m_postgresDatabase);
        }
    }
    if (launch == Launch::now)
        Start();
}

bool HalvdirServer::PostgresRequested() {
    const char* store = std::getenv("HALVDIR_TEST_STORE");
    return store && std::strcmp(store, "postgresql") == 0;
}

HalvdirServer::~HalvdirServer() {
    Stop();
}

bool HalvdirServer::Start() {
    std::vector<std::string> arguments{"serve", "--listen", Host(), "--db", m_location};
    arguments.insert(arguments.end(), m_serveArguments.begin(), m_serveArguments.end());
    m_process = std::make_unique<ChildProcess>(BuildBin("halvdir"), arguments);
    m_started = WaitFor(
        [&] {
            return m_process->Running() &&
                   CanConnect(m_address, m_port, std::chrono::milliseconds(200));
        },
        kLimit);
    return m_started;
}

int HalvdirServer::Stop() {
    if (!m_process)
        return -1;
    m_process->Signal(SIGTERM); // nothing when it has ended already
    return m_process->Wait(kLimit);
}

void HalvdirServer::Kill() {
    if (!m_process)
        return;
    m_process->Signal(SIGKILL);
    m_process->Wait(kLimit);
}

bool HalvdirServer::Running() {
    return m_process && m_process->Running();
}

std::string HalvdirServer::Output() const {
    return m_process ? m_process->Output() : "";
}

HalvdirServer::AdminRun HalvdirServer::Admin(std::vector<std::string> arguments) const {
    arguments.push_back("--db");
    arguments.push_back(m_location);
    ChildProcess command(BuildBin("halvdir"), arguments);
    AdminRun run;
    run.code = command.Wait(kLimit);
    run.output = command.Output();
    return run;
}

HalvdirServer::AdminRun HalvdirServer::SystemMessage(const std::string& title,
                                                     const std::string& text,
                                                     std::optional<int> tos) const {
    std::vector<std::string> arguments{"sysmessage"};
    if (tos)
        arguments.insert(arguments.end(), {"--tos", std::to_string(*tos)});
    arguments.insert(arguments.end(), {title, text});
    return Admin(std::move(arguments));
}

HalvdirServer::AdminRun HalvdirServer::SetVersion(const std::string& version,
                                                  const std::optional<std::string>& product) const {
    std::vector<std::string> arguments{"set-version"};
    if (product)
        arguments.insert(arguments.end(), {"--product", *product});
    arguments.push_back(version);
    return Admin(std::move(arguments));
}

} // namespace testsupport
