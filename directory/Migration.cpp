#include "directory/Migration.h"

#include "directory/Postgres.h"
#include "directory/PostgresSchema.h"
#include "directory/Sqlite.h"
#include "directory/SqliteSchema.h"

#include <filesystem>
#include <vector>

namespace halvdir {

namespace {

using P = PostgresParam;

// One table's copy: the columns read from SQLite (in order) and the INSERT
// taking them as $1..$n. kinds says per column how it travels: 'i' a number,
// 'b' bytes (NULL stays NULL).
struct TableCopy {
    const char* select;
    const char* insert;
    const char* kinds;
};

const TableCopy kTables[] = {
    {"SELECT id, name, email, salt, hash, iterations, ip, created, updated FROM users ORDER BY id",
     "INSERT INTO users(id, name, email, salt, hash, iterations, ip, created, updated) "
     "VALUES ",
     "ibbbbibii"},
    // In the order they were added, which a batch keeps: a waiting list is
    // answered in that order.
    {"SELECT user_id, acquaintance_id, since FROM waiting_acquaintances ORDER BY rowid",
     "INSERT INTO waiting_acquaintances(user_id, acquaintance_id, since) VALUES ", "iii"},
    {"SELECT tos, ip, since FROM random_pool ORDER BY tos, ip",
     "INSERT INTO random_pool(tos, ip, since) VALUES ", "ibi"},
    {"SELECT number, published, title, body FROM system_messages ORDER BY number",
     "INSERT INTO system_messages(number, published, title, body) VALUES ", "iibb"},
    {"SELECT id, sender_email, recipient, app_name, sender_name, app_url, app_id, requested, "
     "remote_address, sent, next_attempt, attempts, lease_until, claimer, last_error "
     "FROM outbox ORDER BY id",
     "INSERT INTO outbox(id, sender_email, recipient, app_name, sender_name, app_url, app_id, "
     "requested, remote_address, sent, next_attempt, attempts, lease_until, claimer, last_error) "
     "VALUES ",
     "ibbbbbiibiiiibb"},
    {"SELECT product, version, published FROM versions ORDER BY product",
     "INSERT INTO versions(product, version, published) VALUES ", "bii"},
};

// The INSERT of the table for rows rows at once: "VALUES($1, ...), (...)".
std::string InsertOf(const TableCopy& table, size_t columns, size_t rows) {
    std::string sql = table.insert;
    std::string values;
    for (size_t row = 0; row < rows; ++row) {
        values += row == 0 ? "(" : ", (";
        for (size_t column = 0; column < columns; ++column) {
            values += column == 0 ? "$" : ", $";
            values += std::to_string(row * columns + column + 1);
        }
        values += ")";
    }
    return sql + values;
}

// Rows go over in batches of many rows per statement: one round trip per
// row would make a large community's move take minutes.
std::int64_t CopyTable(SqliteConnection& source, PostgresConnection& target, const TableCopy& table,
                       const std::string& name) {
    constexpr size_t kBatchRows = 500;
    const std::string kinds = table.kinds;
    SqliteStatement rows(source.Handle(), table.select);
    std::vector<PostgresParam> params;
    params.reserve(kBatchRows * kinds.size());
    bool fullPrepared = false;
    std::int64_t copied = 0;
    auto flush = [&](bool last) {
        const size_t count = params.size() / kinds.size();
        if (count == 0)
            return;
        std::string statement = name + (last ? "_rest" : "_full");
        if (last || !fullPrepared)
            target.Prepare(statement, InsertOf(table, kinds.size(), count));
        fullPrepared = fullPrepared || !last;
        target.Run(statement, params);
        copied += static_cast<std::int64_t>(count);
        params.clear();
    };
    while (rows.Step()) {
        for (size_t column = 0; column < kinds.size(); ++column) {
            const int index = static_cast<int>(column);
            if (rows.IsNull(index))
                params.push_back(P::Null());
            else if (kinds[column] == 'i')
                params.push_back(P::Int(rows.Int(index)));
            else
                params.push_back(P::Bytes(rows.Blob(index)));
        }
        if (params.size() == kBatchRows * kinds.size())
            flush(false);
    }
    flush(true);
    return copied;
}

} // namespace

MigrationCounts MigrateSqliteToPostgres(const std::string& file, const std::string& uri,
                                        bool force) {
    // Opening would create a missing file; a typing error must not copy an
    // empty directory over a full one.
    if (!std::filesystem::is_regular_file(file))
        throw StorageError("no directory file " + file);
    SqliteConnection source(file);
    // Brings an older file to the layout copied below; it only adds columns.
    UpgradeSqliteSchema(source);
    PostgresConnection target(uri);
    UpgradePostgresSchema(target);

    PostgresTransaction transaction(target);
    // Instances serving the target wait until the copy is complete.
    target.Exec("LOCK TABLE users, waiting_acquaintances, random_pool, system_messages, outbox, "
                "versions IN ACCESS EXCLUSIVE MODE");
    target.Prepare("held", "SELECT COUNT(*) FROM users");
    const std::int64_t held = target.Run("held", {}).Int(0, 0);
    if (held > 0 && !force)
        throw StorageError("the target already holds " + std::to_string(held) +
                           " users; --force replaces them");
    target.Exec("TRUNCATE users, waiting_acquaintances, random_pool, system_messages, outbox, "
                "versions RESTART IDENTITY");

    SqliteTransaction reading(source); // one consistent view of the file
    MigrationCounts counts;
    std::int64_t* slots[] = {&counts.users,    &counts.waiting, &counts.pools,
                             &counts.messages, &counts.outbox,  &counts.versions};
    for (size_t i = 0; i < std::size(kTables); ++i)
        *slots[i] = CopyTable(source, target, kTables[i], "copy" + std::to_string(i));

    // New IDs continue after the highest one the file ever handed out, as
    // they would have in the file.
    for (const char* table : {"users", "outbox"}) {
        SqliteStatement last(
            source.Handle(),
            "SELECT MAX(COALESCE((SELECT seq FROM sqlite_sequence WHERE name = ?1), "
            "0), COALESCE((SELECT MAX(id) FROM " +
                std::string(table) + "), 0))");
        last.Bind(1, std::string_view(table));
        const std::int64_t highest = last.Step() ? last.Int(0) : 0;
        target.Exec("SELECT setval(pg_get_serial_sequence('" + std::string(table) + "', 'id'), " +
                    std::to_string(highest + 1) + ", false)");
    }
    transaction.Commit();
    return counts;
}

} // namespace halvdir
