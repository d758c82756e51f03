#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace halvdir {

// A storage failure; the service answers it with status 500 and changes nothing.
class StorageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One prepared statement. Parameters and columns count from 1 and 0 as in SQLite.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, std::string_view sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    SqliteStatement& Bind(int index, std::int64_t value);
    SqliteStatement& Bind(int index, std::string_view text);
    SqliteStatement& BindBlob(int index, const std::vector<unsigned char>& blob);
    SqliteStatement& BindNull(int index);
    // True while a row is available; false when done.
    bool Step();
    // Runs a statement that returns no rows.
    void Run();
    void Reset();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    std::string Text(int column) const;
    std::vector<unsigned char> Blob(int column) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

// One connection to the database file.
class SqliteConnection {
public:
    explicit SqliteConnection(const std::string& path);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    void Exec(const char* sql);
    int Changes() const;
    sqlite3* Handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

// BEGIN IMMEDIATE on construction; rolls back unless Commit was called.
class SqliteTransaction {
public:
    explicit SqliteTransaction(SqliteConnection& connection);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    void Commit();

private:
    SqliteConnection& m_connection;
    bool m_done = false;
};

} // namespace halvdir
