#include "emulation/Machine.h"

#include "emulation/Database.h"
#include "emulation/MetabaseStore.h"
#include "emulation/MetabaseXml.h"
#include "emulation/WinPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <array>

namespace emulation {

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;

namespace {

// Each entry brings the database from the version before it to its own; each runs in one
// transaction together with the version mark.
const std::array<const char*, 1> Migrations = {
    // 1: metabase keys with their properties, and the machine's facts.
    "CREATE TABLE mb_keys ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER REFERENCES mb_keys(id) ON DELETE CASCADE,"
    "  path TEXT NOT NULL UNIQUE," // lower case, for lookups
    "  cpath TEXT NOT NULL,"       // as created
    "  name TEXT NOT NULL,"
    "  keytype TEXT NOT NULL DEFAULT '',"
    "  props TEXT NOT NULL DEFAULT '');" // every property of the key, see PropertyRecord
    "CREATE INDEX mb_keys_parent ON mb_keys(parent, id);"
    "CREATE TABLE facts (name TEXT PRIMARY KEY, value TEXT NOT NULL);",
};

Outcome<int> userVersion(Database& db) {
    auto st = db.prepare("PRAGMA user_version");
    if (!st.step())
        return Error{platform::hr::Fail, db.lastError()};
    return static_cast<int>(st.number(0));
}

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
        if (!tx.ok() || !db.exec(Migrations[static_cast<size_t>(v)]) || !db.exec(mark.constData()) ||
            !tx.commit())
            return Error{platform::hr::Fail, db.lastError()};
    }
    return {};
}

QString missingMessage(const QString& folder) {
    return u"找不到模拟服务器：%1\n请先安装：velmora-machine install --machine \"%1\""_s.arg(folder);
}

QByteArray seed(const QString& name) {
    QFile f(u":/velmora/seed/"_s + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Lays down the drives: a line ending in "\" is a folder, any other line a file, with the text
// after " = " as its content.
platform::Status layDrives(const QString& drives, const QByteArray& list) {
    for (const QByteArray& raw : list.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype eq = line.indexOf(u" = "_s);
        const QString path = eq < 0 ? line : line.left(eq);
        const WinPath wp = WinPath::parse(path);
        if (!wp.valid())
            return Error{platform::hr::BadPathname, u"种子文件中的路径无效：%1"_s.arg(path)};
        const QString host =
            drives + u'/' + wp.drive + (wp.names.isEmpty() ? QString() : u'/' + wp.names.join(u'/'));
        if (path.endsWith(u'\\')) {
            if (!QDir().mkpath(host))
                return Error{platform::hr::AccessDenied, u"无法创建文件夹 %1"_s.arg(host)};
            continue;
        }
        QDir().mkpath(QFileInfo(host).path());
        QFile f(host);
        if (!f.open(QIODevice::WriteOnly))
            return Error{platform::hr::AccessDenied, u"无法写入文件 %1"_s.arg(host)};
        f.write(eq < 0 ? QByteArray() : line.mid(eq + 3).toUtf8() + "\r\n");
    }
    return {};
}

} // namespace

Machine::Machine(QString folder, std::unique_ptr<Database> db)
    : m_folder(std::move(folder)), m_db(std::move(db)) {
    m_metabase = std::make_unique<MetabaseStore>(*m_db, [this] { return service(u"iisadmin"_s); });
}

Machine::~Machine() = default;

int Machine::schemaVersion() {
    return static_cast<int>(Migrations.size());
}

QString Machine::defaultFolder() {
    const QString env = qEnvironmentVariable("VELMORA_MACHINE");
    if (!env.isEmpty())
        return env;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/velmora/machine"_s;
}

Outcome<std::unique_ptr<Machine>> Machine::open(const QString& folder) {
    const QString dbFile = folder + u"/machine.db"_s;
    if (!QFileInfo(folder).isDir() || !QFileInfo::exists(dbFile))
        return Error{platform::hr::PathNotFound, missingMessage(folder)};
    if (!QFileInfo(dbFile).isReadable() || !QFileInfo(dbFile).isWritable())
        return Error{platform::hr::AccessDenied, u"无法读写模拟服务器的数据库：%1"_s.arg(dbFile)};
    QString error;
    auto db = Database::open(dbFile, false, &error);
    if (!db)
        return Error{platform::hr::Fail, u"模拟服务器的数据库已损坏：%1（%2）"_s.arg(dbFile, error)};
    if (auto s = migrate(*db); !s)
        return Error{platform::hr::Fail, u"模拟服务器的数据库已损坏：%1（%2）"_s.arg(dbFile, s.error().text)};
    auto st = db->prepare("SELECT count(*) FROM mb_keys WHERE path = '/lm'");
    if (!st.step() || st.number(0) != 1)
        return Error{platform::hr::Fail, u"模拟服务器的数据库已损坏：%1（没有元数据库）"_s.arg(dbFile)};
    return std::unique_ptr<Machine>(new Machine(folder, std::move(db)));
}

Outcome<std::unique_ptr<Machine>> Machine::install(const QString& folder, const InstallOptions& options) {
    const QString dbFile = folder + u"/machine.db"_s;
    if (QFileInfo::exists(dbFile))
        return Error{platform::hr::AlreadyExists, u"此文件夹中已有模拟服务器：%1"_s.arg(folder)};
    if (!QDir().mkpath(folder + u"/drives"_s))
        return Error{platform::hr::AccessDenied, u"无法创建文件夹：%1"_s.arg(folder)};
    QString error;
    auto db = Database::open(dbFile, true, &error);
    if (!db)
        return Error{platform::hr::Fail, error};
    if (auto s = migrate(*db); !s)
        return s.error();
    if (auto s = importMetabaseXml(*db, seed(u"MetaBase.xml"_s), options.name.toUpper()); !s)
        return s.error();
    if (auto s = layDrives(folder + u"/drives"_s, seed(u"drives.txt"_s)); !s)
        return s.error();
    std::unique_ptr<Machine> machine(new Machine(folder, std::move(db)));
    machine->setFact(u"name"_s, options.name.toUpper());
    machine->setFact(u"build"_s, u"3790"_s);
    machine->setFact(u"version"_s, u"5.2"_s);
    machine->setFact(u"servicepack"_s, u"Service Pack 2"_s);
    machine->setFact(u"service.iisadmin"_s, u"running"_s);
    machine->setFact(u"service.w3svc"_s, u"running"_s);
    return machine;
}

QString Machine::drivesFolder() const {
    return m_folder + u"/drives"_s;
}

QString Machine::hostPath(const QString& windowsPath) const {
    return hostPathOf(drivesFolder(), windowsPath);
}

QString Machine::fact(const QString& name) const {
    auto st = m_db->prepare("SELECT value FROM facts WHERE name = ?1");
    st.bind(1, name);
    return st.step() ? st.text(0) : QString();
}

void Machine::setFact(const QString& name, const QString& value) {
    auto st = m_db->prepare("INSERT INTO facts(name, value) VALUES (?1, ?2) "
                            "ON CONFLICT(name) DO UPDATE SET value = ?2");
    st.bind(1, name).bind(2, value);
    st.run();
}

platform::Status Machine::service(const QString& name) const {
    if (fact(u"service."_s + name) == u"stopped"_s)
        return metabaseError(platform::hr::RpcUnavailable);
    return {};
}

} // namespace emulation
