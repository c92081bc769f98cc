#pragma once

// The database's layout, version by version: each migration brings it from the version before to
// its own in one transaction.

#include "platform/Outcome.h"

namespace emulation::machine {

class Database;

// Brings a database to the newest layout this build knows; refuses one that is newer.
platform::Status migrate(Database& db);
// The newest layout's version.
int newestSchemaVersion();

} // namespace emulation::machine
