#include "directory/Sqlite.h"

#include <sqlite3.h>

namespace halvdir {

namespace {

[[noreturn]] void Fail(sqlite3* db, const char* what) {
    throw StorageError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no connection"));
}

} // namespace

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql)
    : m_db(db) {
    if (sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &m_statement, nullptr) != SQLITE_OK)
        Fail(db, "prepare");
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(m_statement);
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
    if (sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, const std::vector<unsigned char>& blob) {
    if (sqlite3_bind_blob(m_statement, index, blob.data(), static_cast<int>(blob.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::BindNull(int index) {
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

bool SqliteStatement::Step() {
    int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    // Keep the connection usable for the next request.
    std::string message = sqlite3_errmsg(m_db);
    sqlite3_reset(m_statement);
    throw StorageError("step: " + message);
}

void SqliteStatement::Run() {
    Reset();
    while (Step()) {
    }
    Reset();
}

void SqliteStatement::Reset() {
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

bool SqliteStatement::IsNull(int column) const {
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

std::int64_t SqliteStatement::Int(int column) const {
    return sqlite3_column_int64(m_statement, column);
}

std::string SqliteStatement::Text(int column) const {
    auto* text = sqlite3_column_text(m_statement, column);
    int size = sqlite3_column_bytes(m_statement, column);
    if (!text || size <= 0)
        return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
}

std::vector<unsigned char> SqliteStatement::Blob(int column) const {
    auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(m_statement, column));
    int size = sqlite3_column_bytes(m_statement, column);
    if (!data || size <= 0)
        return {};
    return std::vector<unsigned char>(data, data + size);
}

SqliteConnection::SqliteConnection(const std::string& path) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StorageError("open " + path + ": " + message);
    }
    sqlite3_extended_result_codes(m_db, 1);
    // Other processes (the administration commands, a backup) may hold the
    // write lock for a moment; wait for them rather than fail the request.
    sqlite3_busy_timeout(m_db, 5000);
}

SqliteConnection::~SqliteConnection() {
    sqlite3_close_v2(m_db);
}

void SqliteConnection::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw StorageError(message);
    }
}

int SqliteConnection::Changes() const {
    return sqlite3_changes(m_db);
}

SqliteTransaction::SqliteTransaction(SqliteConnection& connection)
    : m_connection(connection) {
    m_connection.Exec("BEGIN IMMEDIATE");
}

SqliteTransaction::~SqliteTransaction() {
    if (!m_done) {
        try {
            m_connection.Exec("ROLLBACK");
        } catch (const StorageError&) {
            // Nothing more to undo: SQLite already rolled back.
        }
    }
}

void SqliteTransaction::Commit() {
    m_connection.Exec("COMMIT");
    m_done = true;
}

} // namespace halvdir
