#pragma once

#include "platform/Outcome.h"

#include <QByteArray>
#include <QString>

namespace emulation {

class Database;

// The metabase as an IIS 6 MetaBase.xml: one flat element per key in path order, the key's
// class as the element name (IIsConfigObject for a key without one), the Location attribute,
// then the properties; booleans TRUE/FALSE, flag properties by their flag names, multi-string
// values one per line.
QByteArray exportMetabaseXml(Database& db);

// Replaces the whole metabase with the keys of a MetaBase.xml, in one transaction.
// Text "{MACHINE}" in values becomes machineName when one is given (the seed file uses it).
platform::Status importMetabaseXml(Database& db, const QByteArray& xml, const QString& machineName = {});

} // namespace emulation
