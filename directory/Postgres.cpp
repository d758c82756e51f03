#include "directory/Postgres.h"

#include <libpq-fe.h>

namespace halvdir {

namespace {

std::uint64_t BigEndian(const char* data, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

} // namespace

PostgresResult::~PostgresResult() {
    PQclear(m_result);
}

int PostgresResult::Rows() const {
    return PQntuples(m_result);
}

std::int64_t PostgresResult::Affected() const {
    const char* count = PQcmdTuples(m_result);
    return count && *count ? std::stoll(count) : 0;
}

bool PostgresResult::IsNull(int row, int column) const {
    return PQgetisnull(m_result, row, column) != 0;
}

std::int64_t PostgresResult::Int(int row, int column) const {
    if (IsNull(row, column))
        return 0;
    const char* data = PQgetvalue(m_result, row, column);
    const int size = PQgetlength(m_result, row, column);
    switch (size) {
    case 1:
        return static_cast<unsigned char>(data[0]);
    case 2:
        return static_cast<std::int16_t>(BigEndian(data, 2));
    case 4:
        return static_cast<std::int32_t>(BigEndian(data, 4));
    case 8:
        return static_cast<std::int64_t>(BigEndian(data, 8));
    default:
        throw StorageError("unexpected number of " + std::to_string(size) + " bytes");
    }
}

std::string PostgresResult::Bytes(int row, int column) const {
    if (IsNull(row, column))
        return {};
    return std::string(PQgetvalue(m_result, row, column),
                       static_cast<size_t>(PQgetlength(m_result, row, column)));
}

std::vector<unsigned char> PostgresResult::Blob(int row, int column) const {
    if (IsNull(row, column))
        return {};
    const auto* data = reinterpret_cast<const unsigned char*>(PQgetvalue(m_result, row, column));
    return std::vector<unsigned char>(data, data + PQgetlength(m_result, row, column));
}

PostgresConnection::PostgresConnection(const std::string& uri) {
    // Values in the URI win over these defaults, as it comes last.
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"10", "halvdir", uri.c_str(), nullptr};
    m_connection = PQconnectdbParams(keywords, values, 1);
    if (!m_connection)
        throw StorageError("out of memory for a database connection");
    if (PQstatus(m_connection) != CONNECTION_OK) {
        // libpq's message names the server and the user, never the password.
        std::string message = PQerrorMessage(m_connection);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        PQfinish(m_connection);
        m_connection = nullptr;
        throw StorageError(message);
    }
    // Replies in binary carry client bytes as they are; times and counts are
    // whole seconds and numbers, so no setting of the server changes them.
    Exec("SET client_min_messages = warning");
}

PostgresConnection::~PostgresConnection() {
    PQfinish(m_connection);
}

bool PostgresConnection::Healthy() const {
    return m_connection && PQstatus(m_connection) == CONNECTION_OK;
}

void PostgresConnection::Fail(pg_result* result, const char* what) {
    std::string message = PQerrorMessage(m_connection);
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string sqlState = state ? state : "";
    PQclear(result);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    m_lastError = message;
    throw PostgresError(std::string(what) + ": " + message, sqlState);
}

PostgresResult PostgresConnection::Check(pg_result* result, const char* what) {
    const auto status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(result, what);
    return PostgresResult(result);
}

void PostgresConnection::Prepare(const std::string& name, const std::string& sql) {
    Check(PQprepare(m_connection, name.c_str(), sql.c_str(), 0, nullptr), "prepare");
}

PostgresResult PostgresConnection::Run(const std::string& name,
                                       std::initializer_list<PostgresParam> params) {
    return Run(name, std::vector<PostgresParam>(params));
}

PostgresResult PostgresConnection::Run(const std::string& name,
                                       const std::vector<PostgresParam>& params) {
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const auto& param : params) {
        values.push_back(param.null ? nullptr : param.value.data());
        lengths.push_back(static_cast<int>(param.value.size()));
        formats.push_back(param.binary ? 1 : 0);
    }
    return Check(PQexecPrepared(m_connection, name.c_str(), static_cast<int>(params.size()),
                                values.data(), lengths.data(), formats.data(), 1),
                 "query");
}

void PostgresConnection::Exec(const std::string& sql) {
    Check(PQexec(m_connection, sql.c_str()), "command");
}

PostgresTransaction::PostgresTransaction(PostgresConnection& connection)
    : m_connection(connection) {
    m_connection.Exec("BEGIN");
}

PostgresTransaction::~PostgresTransaction() {
    if (m_done || !m_connection.Healthy())
        return;
    try {
        m_connection.Exec("ROLLBACK");
    } catch (const StorageError&) {
        // The connection broke; the server rolled back by itself.
    }
}

void PostgresTransaction::Commit() {
    m_connection.Exec("COMMIT");
    m_done = true;
}

std::string WithoutPassword(const std::string& location) {
    std::string shown = location;
    // As "password=..." among the parameters after '?'.
    if (auto query = shown.find('?'); query != std::string::npos) {
        for (auto at = shown.find("password=", query); at != std::string::npos;
             at = shown.find("password=", at + 1)) {
            if (shown[at - 1] != '?' && shown[at - 1] != '&')
                continue;
            auto start = at + 9;
            auto end = shown.find('&', start);
            shown.replace(start, end == std::string::npos ? std::string::npos : end - start, "***");
        }
    }
    // As "user:password@" before the host.
    auto scheme = shown.find("://");
    if (scheme == std::string::npos)
        return shown;
    auto start = scheme + 3;
    auto at = shown.find('@', start);
    auto slash = shown.find_first_of("/?", start);
    if (at == std::string::npos || (slash != std::string::npos && slash < at))
        return shown;
    auto colon = shown.find(':', start);
    if (colon == std::string::npos || colon > at)
        return shown;
    return shown.substr(0, colon + 1) + "***" + shown.substr(at);
}

} // namespace halvdir
