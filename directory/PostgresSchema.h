#pragma once

#include "directory/Postgres.h"

namespace halvdir {

// Creates the directory's tables in an empty database or brings them up to
// date, step by step as recorded in schema_version. Instances starting
// together take a transaction-scoped advisory lock first, so the steps run
// once and the others find them done.
void UpgradePostgresSchema(PostgresConnection& connection);

} // namespace halvdir
