#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

namespace emulation::machine {
class Database;
}

namespace emulation::metabase {

// The ServerBindings of every key, one row per binding in the form they are compared in, so that
// starting a site looks only at the sites that share one of its bindings instead of reading every
// site. Kept in the same transaction as the key's properties; the rows go with their key.
namespace bindingindex {

// "ip:port:host" as HTTP.sys compares it: the host without regard to case.
QString key(const QString& binding);

// Replaces the rows of a key by the bindings of its property record; false on a database error.
bool store(machine::Database& db, std::int64_t keyId, const QString& record);

// Rows for every key, from the property records as stored now (the caller holds the transaction).
bool rebuild(machine::Database& db);

} // namespace bindingindex
} // namespace emulation::metabase
