#pragma once

#include "platform/Outcome.h"

#include <QByteArray>
#include <QString>

#include <map>

namespace emulation::machine {
class Database;
}

namespace emulation::metabase {

// The metabase as an IIS 6 MetaBase.xml: one flat element per key in path order, the key's
// class as the element name (IIsConfigObject for a key without one), the Location attribute,
// then the properties; booleans TRUE/FALSE, flag properties by their flag names, multi-string
// values one per line. Secure properties (AnonymousUserPass, WAMUserPass, ...) are written
// encrypted with the machine's own key, as IIS 6 writes them.
QByteArray exportMetabaseXml(machine::Database& db);

// Replaces the whole metabase with the keys of a MetaBase.xml, in one transaction. Secure
// properties must be encrypted with this machine's key: a file that holds one written by another
// machine, or one in plain text, is refused and nothing is imported.
platform::Status importMetabaseXml(machine::Database& db, const QByteArray& xml);

// The metabase of a fresh machine from its seed file: each placeholder ("{MACHINE}") in values
// becomes its text, and secure properties are given in plain text.
platform::Status importSeedMetabaseXml(machine::Database& db, const QByteArray& xml,
                                       const std::map<QString, QString>& placeholders);

} // namespace emulation::metabase
