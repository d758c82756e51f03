#include "directory/SqliteSchema.h"

#include <array>
#include <string>

namespace halvdir {

namespace {

// Step 1 is the layout files had before versions were recorded, so an older
// file (without schema_version) runs it harmlessly and goes on from there.
const std::array<const char*, 2> kSteps = {
    R"sql(
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL DEFAULT '',
  email TEXT UNIQUE,
  salt BLOB,
  hash BLOB,
  iterations INTEGER NOT NULL DEFAULT 0,
  ip TEXT NOT NULL DEFAULT '0.0.0.0',
  created INTEGER NOT NULL,
  updated INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS users_ip ON users(ip);
CREATE TABLE IF NOT EXISTS waiting_acquaintances(
  user_id INTEGER NOT NULL REFERENCES users(id),
  acquaintance_id INTEGER NOT NULL REFERENCES users(id),
  since INTEGER NOT NULL,
  UNIQUE(user_id, acquaintance_id));
CREATE TABLE IF NOT EXISTS random_pool(
  tos INTEGER NOT NULL,
  ip TEXT NOT NULL,
  since INTEGER NOT NULL,
  PRIMARY KEY(tos, ip)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS random_pool_ip ON random_pool(ip);
CREATE TABLE IF NOT EXISTS system_messages(
  number INTEGER PRIMARY KEY,
  published INTEGER NOT NULL,
  title TEXT NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS outbox(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  sender_email TEXT NOT NULL,
  recipient TEXT NOT NULL,
  app_name TEXT NOT NULL,
  sender_name TEXT NOT NULL,
  app_url TEXT NOT NULL,
  app_id INTEGER NOT NULL,
  requested INTEGER NOT NULL,
  remote_address TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS outbox_sender ON outbox(sender_email, requested);
CREATE INDEX IF NOT EXISTS outbox_recipient ON outbox(recipient, requested);
CREATE TABLE IF NOT EXISTS versions(
  product TEXT PRIMARY KEY,
  version INTEGER NOT NULL,
  published INTEGER NOT NULL);
)sql",
    // The delivery state of each invitation: when it was sent, when the next
    // attempt is due, how many failed, and which sender holds it until when.
    R"sql(
ALTER TABLE outbox ADD COLUMN sent INTEGER;
ALTER TABLE outbox ADD COLUMN next_attempt INTEGER NOT NULL DEFAULT 0;
ALTER TABLE outbox ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE outbox ADD COLUMN lease_until INTEGER NOT NULL DEFAULT 0;
ALTER TABLE outbox ADD COLUMN claimer TEXT NOT NULL DEFAULT '';
ALTER TABLE outbox ADD COLUMN last_error TEXT NOT NULL DEFAULT '';
CREATE INDEX outbox_due ON outbox(next_attempt) WHERE sent IS NULL;
)sql",
};

int StoredVersion(SqliteConnection& connection) {
    SqliteStatement table(connection.Handle(), "SELECT 1 FROM sqlite_master WHERE type = 'table' "
                                               "AND name = 'schema_version'");
    if (!table.Step())
        return 0;
    table.Reset();
    SqliteStatement query(connection.Handle(), "SELECT MAX(version) FROM schema_version");
    return query.Step() ? static_cast<int>(query.Int(0)) : 0;
}

} // namespace

int SqliteSchemaVersion() {
    return static_cast<int>(kSteps.size());
}

void UpgradeSqliteSchema(SqliteConnection& connection) {
    if (StoredVersion(connection) == SqliteSchemaVersion())
        return;
    SqliteTransaction transaction(connection);
    // Another process may have upgraded while this one waited for the lock.
    int version = StoredVersion(connection);
    if (version > SqliteSchemaVersion())
        throw StorageError("the database was written by a newer halvdir (schema version " +
                           std::to_string(version) + ")");
    for (int step = version; step < SqliteSchemaVersion(); ++step)
        connection.Exec(kSteps[static_cast<size_t>(step)]);
    connection.Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
    connection.Exec("DELETE FROM schema_version");
    SqliteStatement record(connection.Handle(), "INSERT INTO schema_version(version) VALUES(?1)");
    record.Bind(1, static_cast<std::int64_t>(SqliteSchemaVersion()));
    while (record.Step()) {
    }
    transaction.Commit();
}

} // namespace halvdir
