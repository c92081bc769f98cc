// The schema migrations of the machine's database.

#include "emulation/machine/Migrations.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/BindingIndex.h"

#include <array>

namespace emulation::machine {

namespace bindingindex = metabase::bindingindex;

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;

namespace {

// Each entry brings the database from the version before it to its own; each runs in one
// transaction together with the version mark, and its fill step, when it has one, after its SQL.
struct Migration {
    const char* sql;
    bool (*fill)(Database&) = nullptr;
};
const std::array<Migration, 4> Migrations = {{
    // 1: metabase keys with their properties, and the machine's facts.
    {"CREATE TABLE mb_keys ("
     "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
     "  parent INTEGER REFERENCES mb_keys(id) ON DELETE CASCADE,"
     "  path TEXT NOT NULL UNIQUE," // lower case, for lookups
     "  cpath TEXT NOT NULL,"       // as created
     "  name TEXT NOT NULL,"
     "  keytype TEXT NOT NULL DEFAULT '',"
     "  props TEXT NOT NULL DEFAULT '');" // every property of the key, see PropertyRecord
     "CREATE INDEX mb_keys_parent ON mb_keys(parent, id);"
     "CREATE TABLE facts (name TEXT PRIMARY KEY, value TEXT NOT NULL);"},
    // 2: accounts, groups and memberships; access-control entries of files and folders.
    {"CREATE TABLE principals ("
     "  sid TEXT PRIMARY KEY,"
     "  name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
     "  domain TEXT NOT NULL," // BUILTIN, NT AUTHORITY, the computer name, or empty
     "  kind TEXT NOT NULL,"   // user, group (local group), alias (built-in group), wellknown
     "  full_name TEXT NOT NULL DEFAULT '',"
     "  comment TEXT NOT NULL DEFAULT '',"
     "  flags INTEGER NOT NULL DEFAULT 0,"
     "  salt TEXT NOT NULL DEFAULT '',"
     "  hash TEXT NOT NULL DEFAULT '');" // salted SHA-256 of the password; never the password
     "CREATE TABLE members ("
     "  group_sid TEXT NOT NULL REFERENCES principals(sid) ON DELETE CASCADE,"
     "  member_sid TEXT NOT NULL,"
     "  PRIMARY KEY (group_sid, member_sid)) WITHOUT ROWID;"
     "CREATE TABLE aces ("
     "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
     "  path TEXT NOT NULL," // the Windows path in lower case, "d:\\webroot"
     "  deny INTEGER NOT NULL,"
     "  sid TEXT NOT NULL,"
     "  mask INTEGER NOT NULL,"
     "  flags INTEGER NOT NULL);"
     "CREATE INDEX aces_path ON aces(path, id);"},
    // 3: the machine's own key, which encrypts the secure metabase properties it exports.
    {"INSERT OR IGNORE INTO facts(name, value) VALUES ('machine_key', lower(hex(randomblob(32))));"},
    // 4: the sites' bindings, for the clash check of a start.
    {"CREATE TABLE mb_bindings ("
     "  key INTEGER NOT NULL REFERENCES mb_keys(id) ON DELETE CASCADE,"
     "  binding TEXT NOT NULL);" // "ip:port:host", the host in lower case
     "CREATE INDEX mb_bindings_binding ON mb_bindings(binding);"
     "CREATE INDEX mb_bindings_key ON mb_bindings(key);",
     &bindingindex::rebuild},
}};

Outcome<int> userVersion(Database& db) {
    auto st = db.prepare("PRAGMA user_version");
    if (!st.step())
        return Error{platform::hr::Fail, db.lastError()};
    return static_cast<int>(st.number(0));
}

} // namespace

platform::Status migrate(Database& db) {
    const auto version = userVersion(db);
    if (!version)
        return version.error();
    if (version.value() > static_cast<int>(Migrations.size()))
        return Error{
            platform::hr::Fail,
            u"数据库版本 %1 比本程序支持的版本 %2 新。"_s.arg(version.value()).arg(Migrations.size())};
    for (int v = version.value(); v < static_cast<int>(Migrations.size()); ++v) {
        Database::Transaction tx(db);
        const QByteArray mark = "PRAGMA user_version = " + QByteArray::number(v + 1);
        const Migration& m = Migrations[static_cast<size_t>(v)];
        if (!tx.ok() || !db.exec(m.sql) || (m.fill && !m.fill(db)) || !db.exec(mark.constData()) ||
            !tx.commit())
            return Error{platform::hr::Fail, db.lastError()};
    }
    return {};
}

int newestSchemaVersion() {
    return static_cast<int>(Migrations.size());
}

} // namespace emulation::machine
