#pragma once

#include "directory/Sqlite.h"

namespace halvdir {

// Creates the directory's tables in a new file, or brings an older file's
// tables up to date, step by step as recorded in its schema_version table.
// Several processes opening the file at once upgrade it once: the steps run
// under SQLite's write lock and re-read the version first.
void UpgradeSqliteSchema(SqliteConnection& connection);

// The version this program's steps lead to.
int SqliteSchemaVersion();

} // namespace halvdir
