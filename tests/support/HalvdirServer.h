#pragma once

// The directory (halvdir) as the tests meet it: started on a free port of a
// loopback address with its database in a temporary folder, waited for until
// it accepts connections, and stopped when the object goes. Its administration
// commands run against the same database. With HALVDIR_TEST_STORE=postgresql
// in the environment the database is a fresh one on the program's own
// PostgreSQL server instead of a SQLite file.

#include "support/TestSupport.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class HalvdirServer {
public:
    // Started by the constructor, or later by Start() for a test that begins
    // without a directory.
    enum class Launch { now, later };

    // serveArguments go to "halvdir serve" after the address and database,
    // e.g. {"--threads", "2"}. The port is chosen once: a restart keeps it, so
    // clients configured with Host() find the directory again.
    explicit HalvdirServer(std::vector<std::string> serveArguments = {},
                           Launch launch = Launch::now, std::string address = "127.0.0.1");
    ~HalvdirServer();
    HalvdirServer(const HalvdirServer&) = delete;
    HalvdirServer& operator=(const HalvdirServer&) = delete;

    // Starts (again) and waits until it accepts connections; false when it
    // did not within the limit. The constructor starts it once.
    bool Start();
    // Whether the last start came up.
    bool Started() const { return m_started; }
    // SIGTERM; the exit code (also of a server that had ended already), or -1
    // when it was never started or did not end.
    int Stop();
    // SIGKILL, for a directory that vanishes without closing anything.
    void Kill();
    bool Running();

    std::string Host() const { return m_address + ":" + std::to_string(m_port); }
    const std::string& Address() const { return m_address; }
    int Port() const { return m_port; }
    // The SQLite file; meaningless when UsesPostgres().
    const std::filesystem::path& Database() const { return m_database; }
    // What "--db" names: the file, or the PostgreSQL database's URI.
    const std::string& Location() const { return m_location; }
    bool UsesPostgres() const { return !m_postgresDatabase.empty(); }
    const std::string& PostgresDatabase() const { return m_postgresDatabase; }
    // Serves (from the next Start) and administers the database at location,
    // e.g. that of another HalvdirServer, for several instances on one database.
    void UseLocation(std::string location) { m_location = std::move(location); }
    // True when the tests of this run ask for PostgreSQL.
    static bool PostgresRequested();
    // What the running (or last) server wrote to standard output and error.
    std::string Output() const;

    struct AdminRun {
        int code = -1;      // -1 when the command did not end in time
        std::string output; // standard output and error together
    };
    // An administration command ("users", "outbox", "sysmessage ...") on the
    // same database.
    AdminRun Admin(std::vector<std::string> arguments) const;
    // Publishes a system message: the general one, or the one of that TOS.
    AdminRun SystemMessage(const std::string& title, const std::string& text,
                           std::optional<int> tos = std::nullopt) const;
    AdminRun SetVersion(const std::string& version,
                        const std::optional<std::string>& product = std::nullopt) const;

private:
    TempDir m_folder;
    std::filesystem::path m_database;
    std::string m_postgresDatabase;
    std::string m_location;
    std::vector<std::string> m_serveArguments;
    std::string m_address;
    int m_port = 0;
    bool m_started = false;
    std::unique_ptr<ChildProcess> m_process;
};

} // namespace testsupport
