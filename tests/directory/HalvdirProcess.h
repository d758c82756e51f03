#pragma once

// The directory fixture with a minimal HTTP GET over a raw socket and a dump
// of the database, for the directory tests.

#include "support/HalvdirServer.h"
#include "support/PostgresServer.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace halvdirtest {

struct HttpReply {
    int status = 0; // 0 when the exchange failed
    std::string body;
};

// True once the headers and as many body bytes as they announce are in.
inline bool Complete(const std::string& response) {
    auto headerEnd = response.find("\r\n\r\n");
    if (headerEnd == std::string::npos)
        return false;
    std::string headers = response.substr(0, headerEnd);
    for (char& c : headers)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto at = headers.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return false;
    size_t length = std::strtoul(headers.c_str() + at + 17, nullptr, 10);
    return response.size() >= headerEnd + 4 + length;
}

// A connected socket to the directory on loopback, from the given source
// address when there is one; -1 when that failed.
inline int ConnectFrom(int port, const char* source = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (source) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request text as given (so that tests can send what no client
// library would) and reads until the server closes. With a source address
// (another loopback address) the request comes from there.
// The generous default limit keeps a loaded test machine from failing a test
// that is about answers, not speed.
inline HttpReply RawExchange(int port, const std::string& request,
                             std::chrono::seconds limit = std::chrono::seconds(60),
                             const char* source = nullptr) {
    HttpReply reply;
    int fd = ConnectFrom(port, source);
    if (fd < 0)
        return reply;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string response;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        response.append(buffer, static_cast<size_t>(n));
        if (response.size() > (1u << 20) || Complete(response))
            break;
    }
    close(fd);
    auto headerEnd = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.", 0) != 0 || headerEnd == std::string::npos)
        return reply;
    reply.status = std::atoi(response.c_str() + 9);
    reply.body = response.substr(headerEnd + 4);
    return reply;
}

inline HttpReply Get(int port, const std::string& target,
                     std::chrono::seconds limit = std::chrono::seconds(60),
                     const char* source = nullptr) {
    return RawExchange(port,
                       "GET " + target +
                           " HTTP/1.1\r\nHost: directory\r\nUser-Agent: Halvara 1.17\r\n"
                           "Connection: close\r\n\r\n",
                       limit, source);
}

// Every row of every table, in a stable order, as one text.
inline std::string DumpDatabase(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    std::string dump;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open";
    }
    const char* tables[] = {
        "users", "waiting_acquaintances", "random_pool", "system_messages", "outbox", "versions"};
    for (const char* table : tables) {
        std::string sql = std::string("SELECT * FROM ") + table + " ORDER BY 1, 2";
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            dump += "no table " + std::string(table) + "\n";
            continue;
        }
        dump += std::string("[") + table + "]\n";
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                auto* text = sqlite3_column_text(statement, i);
                int size = sqlite3_column_bytes(statement, i);
                dump += text ? std::string(reinterpret_cast<const char*>(text),
                                           static_cast<size_t>(size))
                             : std::string("NULL");
                dump += '|';
            }
            dump += '\n';
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return dump;
}

// Every row of every table of a PostgreSQL database, in a stable order.
inline std::string DumpPostgres(const std::string& database) {
    std::string dump;
    for (const char* table : {"users", "waiting_acquaintances", "random_pool", "system_messages",
                              "outbox", "versions"}) {
        auto run = testsupport::PostgresServer::Shared()->Sql(
            database, std::string("SELECT * FROM ") + table + " ORDER BY 1, 2");
        dump += std::string("[") + table + "]\n" + run.output;
    }
    return dump;
}

// Every row of every table of the directory's database.
inline std::string DumpDatabase(const testsupport::HalvdirServer& directory) {
    if (directory.UsesPostgres())
        return DumpPostgres(directory.PostgresDatabase());
    return DumpDatabase(directory.Database());
}

// A run on PostgreSQL (HALVDIR_TEST_STORE=postgresql) starts the program's
// server before the first test and skips every test, saying why, when there
// is none to start.
class StoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (testsupport::HalvdirServer::PostgresRequested() &&
            !testsupport::PostgresServer::Shared())
            GTEST_SKIP() << "PostgreSQL run skipped: " << testsupport::PostgresServer::Problem();
    }
};
inline ::testing::Environment* const kStoreEnvironment =
    ::testing::AddGlobalTestEnvironment(new StoreEnvironment);

// The shared directory fixture with the raw HTTP exchange of these tests.
class HalvdirProcess : public testsupport::HalvdirServer {
public:
    using HalvdirServer::HalvdirServer;

    HttpReply Get(const std::string& target, const char* source = nullptr) const {
        return halvdirtest::Get(Port(), target, std::chrono::seconds(60), source);
    }
};

// "NewID: N" → N, or -1.
inline int NewId(const HttpReply& reply) {
    auto at = reply.body.find("NewID: ");
    return at == std::string::npos ? -1 : std::atoi(reply.body.c_str() + at + 7);
}

} // namespace halvdirtest
