#pragma once

#include "directory/Sqlite.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace halvdir {

// A failed PostgreSQL command, with its SQLSTATE code ("" when the server
// sent none, e.g. because the connection broke).
class PostgresError : public StorageError {
public:
    PostgresError(const std::string& message, std::string sqlState)
        : StorageError(message)
        , m_sqlState(std::move(sqlState)) {}
    const std::string& SqlState() const { return m_sqlState; }

private:
    std::string m_sqlState;
};

// One parameter of a command. Strings and byte strings travel as bytes, so
// what a client sent is stored exactly; numbers as decimal text.
struct PostgresParam {
    std::string value;
    bool null = false;
    bool binary = false;

    static PostgresParam Int(std::int64_t number) { return {std::to_string(number)}; }
    static PostgresParam Bytes(std::string_view bytes) { return {std::string(bytes), false, true}; }
    static PostgresParam Bytes(const std::vector<unsigned char>& bytes) {
        return {std::string(bytes.begin(), bytes.end()), false, true};
    }
    static PostgresParam Null() { return {{}, true, false}; }
};

// The rows of a command, in binary form: integers of 2, 4 or 8 bytes and
// booleans decode with Int, byte strings with Bytes.
class PostgresResult {
public:
    explicit PostgresResult(pg_result* result)
        : m_result(result) {}
    ~PostgresResult();
    PostgresResult(PostgresResult&& other) noexcept
        : m_result(other.m_result) {
        other.m_result = nullptr;
    }
    PostgresResult(const PostgresResult&) = delete;
    PostgresResult& operator=(const PostgresResult&) = delete;
    PostgresResult& operator=(PostgresResult&&) = delete;

    int Rows() const;
    // Rows an UPDATE, INSERT or DELETE touched.
    std::int64_t Affected() const;
    bool IsNull(int row, int column) const;
    std::int64_t Int(int row, int column) const;
    std::string Bytes(int row, int column) const;
    std::vector<unsigned char> Blob(int row, int column) const;

private:
    pg_result* m_result;
};

// One connection to the database server.
class PostgresConnection {
public:
    // uri is a postgresql:// connection URI. Throws StorageError (without
    // the password) when the server cannot be reached or refuses the login.
    explicit PostgresConnection(const std::string& uri);
    ~PostgresConnection();
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    void Prepare(const std::string& name, const std::string& sql);
    PostgresResult Run(const std::string& name, std::initializer_list<PostgresParam> params);
    PostgresResult Run(const std::string& name, const std::vector<PostgresParam>& params);
    // Runs one or more commands without parameters.
    void Exec(const std::string& sql);

    // False once the server went away; the connection is then of no more use.
    bool Healthy() const;
    const std::string& LastError() const { return m_lastError; }

private:
    [[noreturn]] void Fail(pg_result* result, const char* what);
    PostgresResult Check(pg_result* result, const char* what);

    pg_conn* m_connection = nullptr;
    std::string m_lastError;
};

// BEGIN on construction; rolls back unless Commit was called.
class PostgresTransaction {
public:
    explicit PostgresTransaction(PostgresConnection& connection);
    ~PostgresTransaction();
    PostgresTransaction(const PostgresTransaction&) = delete;
    PostgresTransaction& operator=(const PostgresTransaction&) = delete;
    void Commit();

private:
    PostgresConnection& m_connection;
    bool m_done = false;
};

// The location with its password, if any, replaced by "***", for messages.
std::string WithoutPassword(const std::string& location);

} // namespace halvdir
