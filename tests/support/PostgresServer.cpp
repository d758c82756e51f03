#include "support/PostgresServer.h"

#include <fstream>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr std::chrono::seconds kLimit{90};

std::filesystem::path FindBinaries() {
    std::error_code error;
    std::filesystem::path found;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
        auto bin = entry.path() / "bin";
        // The newest installed version: directory names are version numbers.
        if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "pg_ctl") &&
            (found.empty() || std::stoi(entry.path().filename().string()) >
                                  std::stoi(found.parent_path().filename().string())))
            found = bin;
    }
    return found;
}

std::string& ProblemText() {
    static std::string problem;
    return problem;
}

} // namespace

PostgresServer* PostgresServer::Shared() {
    static std::unique_ptr<PostgresServer> server = []() -> std::unique_ptr<PostgresServer> {
        auto binaries = FindBinaries();
        if (binaries.empty()) {
            ProblemText() = "no PostgreSQL server programs in /usr/lib/postgresql/*/bin "
                            "(install the postgresql package)";
            return nullptr;
        }
        std::unique_ptr<PostgresServer> started(new PostgresServer(binaries, ProblemText()));
        if (!ProblemText().empty())
            return nullptr;
        return started;
    }();
    return server.get();
}

const std::string& PostgresServer::Problem() {
    return ProblemText();
}

PostgresServer::PostgresServer(std::filesystem::path binaries, std::string& problem)
    : m_binaries(std::move(binaries))
    , m_port(FreeTcpPort("127.0.0.1")) {
    m_asPostgresUser = geteuid() == 0;
    if (m_asPostgresUser) {
        passwd* user = getpwnam("postgres");
        if (!user || chown(m_folder.Path().c_str(), user->pw_uid, user->pw_gid) != 0) {
            problem = "running as root, and there is no postgres user to run the server";
            return;
        }
    }
    const auto passwordFile = m_folder.Path() / "password";
    std::ofstream(passwordFile) << kPassword << "\n";
    if (m_asPostgresUser) {
        passwd* user = getpwnam("postgres");
        if (chown(passwordFile.c_str(), user->pw_uid, user->pw_gid) != 0) {
            problem = "cannot hand the password file to the postgres user";
            return;
        }
    }
    auto init = Tool("initdb", {"-D", (m_folder.Path() / "data").string(), "-U", "postgres",
                                "--auth-local=trust", "--auth-host=scram-sha-256",
                                "--pwfile=" + passwordFile.string(), "-E", "UTF8", "--locale=C",
                                "--no-sync"});
    if (init.code != 0) {
        problem = "initdb failed: " + init.output;
        return;
    }
    if (!Start())
        problem = "the PostgreSQL server did not start";
}

PostgresServer::~PostgresServer() {
    Stop();
}

PostgresServer::Run PostgresServer::Tool(const std::string& tool,
                                         std::vector<std::string> arguments) const {
    std::filesystem::path program = m_binaries / tool;
    if (m_asPostgresUser) {
        arguments.insert(arguments.begin(), {"-u", "postgres", "--", program.string()});
        program = "/usr/sbin/runuser";
    }
    ChildProcess child(program, arguments);
    Run run;
    run.code = child.Wait(kLimit);
    run.output = child.Output();
    return run;
}

bool PostgresServer::Start() {
    const auto folder = m_folder.Path().string();
    auto run = Tool("pg_ctl",
                    {"-D", folder + "/data", "-l", folder + "/server.log", "-w", "-t", "60", "-o",
                     "-p " + std::to_string(m_port) + " -k " + folder +
                         " -c listen_addresses=127.0.0.1 -c fsync=off"
                         " -c synchronous_commit=off -c full_page_writes=off"
                         " -c max_connections=400 -c shared_buffers=32MB",
                     "start"});
    m_running = run.code == 0;
    return m_running;
}

bool PostgresServer::Stop() {
    if (!m_running)
        return true;
    auto run = Tool("pg_ctl", {"-D", (m_folder.Path() / "data").string(), "-m", "fast", "-w", "-t",
                               "60", "stop"});
    m_running = run.code != 0;
    return !m_running;
}

std::string PostgresServer::NewDatabase() {
    std::string name = "directory" + std::to_string(++m_databases);
    auto run = Sql("postgres", "CREATE DATABASE " + name);
    if (run.code != 0)
        throw std::runtime_error("CREATE DATABASE failed: " + run.output);
    return name;
}

std::string PostgresServer::Uri(const std::string& database, const std::string& password) const {
    return "postgresql://postgres:" + password + "@127.0.0.1:" + std::to_string(m_port) + "/" +
           database;
}

PostgresServer::Run PostgresServer::Sql(const std::string& database, const std::string& sql) const {
    ChildProcess psql(m_binaries / "psql", {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h",
                                            m_folder.Path().string(), "-p", std::to_string(m_port),
                                            "-U", "postgres", "-d", database, "-c", sql});
    Run run;
    run.code = psql.Wait(kLimit);
    run.output = psql.Output();
    return run;
}

} // namespace testsupport
