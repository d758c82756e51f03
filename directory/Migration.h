#pragma once

#include <cstdint>
#include <string>

namespace halvdir {

struct MigrationCounts {
    std::int64_t users = 0;
    std::int64_t waiting = 0;
    std::int64_t pools = 0;
    std::int64_t messages = 0;
    std::int64_t outbox = 0;
    std::int64_t versions = 0;
};

// Copies a SQLite directory file into a PostgreSQL database, row for row with
// the same IDs and times, in one transaction: either everything arrives or
// nothing. The target's schema is created or upgraded first. A target that
// already holds users is refused (StorageError) unless force is set, in which
// case its rows are replaced. The ID sequences continue past the highest
// copied IDs.
MigrationCounts MigrateSqliteToPostgres(const std::string& file, const std::string& uri,
                                        bool force);

} // namespace halvdir
