#include "emulation/machine/Machine.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/files/WinPath.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/MachineInfo.h"
#include "emulation/metabase/BindingIndex.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/SecureValue.h"
#include "platform/AnsiCodePage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <signal.h>
#include <sys/types.h>

namespace emulation::machine {

using accounts::AccountStore;
using accounts::parseIcaclsPermission;
using cmd::Interpreter;
using files::FileSystem;
using files::hostPathOf;
using files::WinPath;
using metabase::MetabaseStore;
namespace bindingindex = metabase::bindingindex;
using metabase::importSeedMetabaseXml;
using metabase::metabaseError;
using metabase::randomPassword;

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

QString missingMessage(const QString& folder) {
    return u"找不到模拟服务器：%1\n请先安装：velmora-machine install --machine \"%1\""_s.arg(folder);
}

QString incompleteMessage(const QString& folder, const QString& missing) {
    return u"模拟服务器不完整：%1（缺少%2）。\n它的安装没有完成，或者文件夹被改动过。请删除或移走这个文件夹，"
           "再重新安装：velmora-machine install --machine \"%1\""_s.arg(folder, missing);
}

// The database holds the machine's secrets: only its owner may read it.
void keepPrivate(const QString& dbFile) {
    for (const QString& f : {dbFile, dbFile + u"-wal"_s, dbFile + u"-shm"_s})
        if (QFileInfo::exists(f))
            QFile::setPermissions(f, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// What a machine needs besides its metabase: its facts, its accounts and its drives. Empty when
// nothing is missing.
QString missingParts(Database& db, const QString& folder) {
    QStringList missing;
    auto facts = db.prepare("SELECT count(*) FROM facts WHERE name IN ('name', 'build', 'version', "
                            "'next_rid', 'machine_key') AND value <> ''");
    if (!facts.step() || facts.number(0) != 5)
        missing << u"事实"_s;
    auto accounts = db.prepare("SELECT count(*) FROM principals WHERE kind = 'user' AND sid LIKE '%-500'");
    if (!accounts.step() || accounts.number(0) != 1)
        missing << u"帐户"_s;
    if (!QFileInfo(folder + u"/drives/C/WINDOWS/system32"_s).isDir())
        missing << u"驱动器 C:"_s;
    return missing.join(u"、"_s);
}

// Folders of installations into the same target that were killed before they finished: each
// is named after its process, and a process that no longer exists will not finish it.
void removeAbandonedInstallations(const QString& parent, const QString& prefix) {
    const QDir dir(parent);
    for (const QString& name :
         dir.entryList({prefix + u'*'}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const auto pid = static_cast<pid_t>(name.mid(prefix.size()).section(u'-', 0, 0).toLong(&isNumber));
        if (isNumber && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            QDir(dir.filePath(name)).removeRecursively();
    }
}

// Installation steps a test may stop with a kill, as a crash or a power cut would.
void installStep(const char* step) {
    static const QByteArray killAt = qgetenv("VELMORA_INSTALL_KILL_AT");
    if (!killAt.isEmpty() && killAt == step) {
        std::fflush(nullptr);
        std::raise(SIGKILL);
    }
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
        // A Chinese Windows keeps its text files in the ANSI code page, GBK.
        f.write(eq < 0 ? QByteArray() : platform::toAnsi(line.mid(eq + 3)) + "\r\n");
    }
    return {};
}

} // namespace

Machine::Machine(QString folder, std::unique_ptr<Database> db)
    : m_folder(std::move(folder)), m_db(std::move(db)) {
    m_metabase =
        std::make_unique<MetabaseStore>(*m_db, [this](const QString& path) { return serving(path); });
    m_accounts = std::make_unique<AccountStore>(*m_db, fact(u"name"_s));
    m_files = std::make_unique<FileSystem>(*m_db, *m_accounts, drivesFolder());
    m_interpreter = std::make_unique<Interpreter>(*this);
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
        return Error{platform::hr::Fail, incompleteMessage(folder, u"元数据库"_s)};
    if (const QString missing = missingParts(*db, folder); !missing.isEmpty())
        return Error{platform::hr::Fail, incompleteMessage(folder, missing)};
    keepPrivate(dbFile);
    return std::unique_ptr<Machine>(new Machine(folder, std::move(db)));
}

Outcome<std::unique_ptr<Machine>> Machine::install(const QString& folder, const InstallOptions& options) {
    if (QFileInfo::exists(folder + u"/machine.db"_s))
        return Error{platform::hr::AlreadyExists, u"此文件夹中已有模拟服务器：%1"_s.arg(folder)};
    // A computer name: NetBIOS allows 15 characters, and "IUSR_" + name must be an account name.
    if (!AccountStore::validName(options.name) || options.name.size() > 15 || options.name.contains(u' '))
        return Error{platform::hr::InvalidArgument, u"计算机名无效：%1"_s.arg(options.name)};
    const QFileInfo target(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()));
    if (target.exists() &&
        (!target.isDir() ||
         !QDir(target.filePath()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)))
        return Error{platform::hr::AlreadyExists,
                     u"此文件夹不是空的，不能在其中安装模拟服务器：%1"_s.arg(folder)};
    // The machine is built in a folder beside the target and renamed into place when complete:
    // an installation that fails or is killed never leaves anything that could pass for a machine.
    const QString parent = target.absolutePath();
    if (!QDir().mkpath(parent))
        return Error{platform::hr::AccessDenied, u"无法创建文件夹：%1"_s.arg(parent)};
    const QString prefix = u"."_s + target.fileName() + u".installing-"_s;
    removeAbandonedInstallations(parent, prefix);
    QTemporaryDir staging(parent + u'/' + prefix + QString::number(QCoreApplication::applicationPid()) +
                          u"-XXXXXX"_s);
    if (!staging.isValid())
        return Error{platform::hr::AccessDenied,
                     u"无法创建文件夹：%1（%2）"_s.arg(parent, staging.errorString())};
    {
        auto built = installInto(staging.path(), options);
        if (!built)
            return built.error();
    } // the database is closed before the rename, its log folded into it
    installStep("rename");
    // rename() replaces an empty folder at the target, atomically.
    if (std::rename(QFile::encodeName(staging.path()).constData(),
                    QFile::encodeName(target.filePath()).constData()) != 0)
        return Error{platform::hr::AccessDenied, u"无法把模拟服务器移到 %1：%2"_s.arg(
                                                     folder, QString::fromLocal8Bit(std::strerror(errno)))};
    staging.setAutoRemove(false);
    return open(folder);
}

Outcome<std::unique_ptr<Machine>> Machine::installInto(const QString& folder, const InstallOptions& options) {
    const QString dbFile = folder + u"/machine.db"_s;
    if (!QDir().mkpath(folder + u"/drives"_s))
        return Error{platform::hr::AccessDenied, u"无法创建文件夹：%1"_s.arg(folder)};
    {
        // Made readable by its owner only before anything is written into it.
        QFile file(dbFile);
        if (!file.open(QIODevice::WriteOnly) ||
            !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return Error{platform::hr::AccessDenied, u"无法写入文件 %1"_s.arg(dbFile)};
    }
    QString error;
    auto db = Database::open(dbFile, true, &error);
    if (!db)
        return Error{platform::hr::Fail, error};
    if (auto s = migrate(*db); !s)
        return s.error();
    installStep("database");
    // Each machine gets passwords of its own for the web service's built-in accounts.
    const std::map<QString, QString> placeholders{
        {u"{MACHINE}"_s, options.name.toUpper()},
        {u"{IUSR_PASSWORD}"_s,
         options.anonymousPassword.isEmpty() ? randomPassword() : options.anonymousPassword},
        {u"{IWAM_PASSWORD}"_s, options.wamPassword.isEmpty() ? randomPassword() : options.wamPassword},
    };
    if (auto s = importSeedMetabaseXml(*db, seed(u"MetaBase.xml"_s), placeholders); !s)
        return s.error();
    installStep("metabase");
    if (auto s = layDrives(folder + u"/drives"_s, seed(u"drives.txt"_s)); !s)
        return s.error();
    installStep("drives");
    {
        auto st = db->prepare("INSERT INTO facts(name, value) VALUES ('name', ?1)");
        st.bind(1, options.name.toUpper());
        st.run();
    }
    std::unique_ptr<Machine> machine(new Machine(folder, std::move(db)));
    if (auto s = machine->seedAccounts(seed(u"accounts.txt"_s), placeholders); !s)
        return s.error();
    installStep("accounts");
    if (auto s = machine->seedPermissions(seed(u"acl.txt"_s)); !s)
        return s.error();
    installStep("permissions");
    machine->setFact(u"build"_s, u"3790"_s);
    machine->setFact(u"version"_s, u"5.2"_s);
    machine->setFact(u"servicepack"_s, u"Service Pack 2"_s);
    machine->setFact(u"service.iisadmin"_s, u"running"_s);
    machine->setFact(u"service.w3svc"_s, u"running"_s);
    machine->setFact(u"service.msftpsvc"_s, u"running"_s);
    machine->setFact(u"service.winmgmt"_s, u"running"_s);
    machine->setFact(u"addresses"_s, MachineInfo::formatAddresses(MachineInfo::hostAddresses()));
    installStep("facts");
    return machine;
}

platform::Status Machine::seedAccounts(const QByteArray& list,
                                       const std::map<QString, QString>& placeholders) {
    Database::Transaction tx(*m_db);
    for (const QByteArray& raw : list.split('\n')) {
        QString line = QString::fromUtf8(raw);
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        for (const auto& [placeholder, replacement] : placeholders)
            line.replace(placeholder, replacement);
        QStringList f = line.split(u'\t');
        while (f.size() < 10)
            f << QString();
        if (f[0] == u"principal"_s) {
            const QString sid = f[4].startsWith(u"S-"_s) ? f[4] : m_accounts->machineSid() + u'-' + f[4];
            const QString salt = f[8].isEmpty() ? QString() : QString::number(qHash(sid), 16);
            auto st = m_db->prepare(
                "INSERT INTO principals(sid, name, domain, kind, full_name, comment, flags, salt, hash) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
            st.bind(1, sid).bind(2, f[3]).bind(3, f[2]).bind(4, f[1]).bind(5, f[5]).bind(6, f[6]);
            st.bind(7, static_cast<std::int64_t>(f[7].toUInt(nullptr, 0))).bind(8, salt);
            st.bind(9, f[8].isEmpty() ? QString() : AccountStore::hashPassword(salt, f[8]));
            if (!st.run())
                return Error{platform::hr::Fail, u"种子帐户有错误：%1（%2）"_s.arg(line, m_db->lastError())};
        } else if (f[0] == u"member"_s) {
            const auto group = m_accounts->lookup(f[1]);
            const auto member = m_accounts->lookup(f[2]);
            if (!group || !member)
                return Error{platform::hr::Fail, u"种子成员有错误：%1"_s.arg(line)};
            auto st = m_db->prepare("INSERT INTO members(group_sid, member_sid) VALUES (?1, ?2)");
            st.bind(1, group->sid).bind(2, member->sid);
            st.run();
        }
    }
    setFact(u"next_rid"_s, u"1003"_s);
    tx.commit();
    return {};
}

platform::Status Machine::seedPermissions(const QByteArray& list) {
    const QString name = fact(u"name"_s);
    for (const QByteArray& raw : list.split('\n')) {
        QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        line.replace(u"{MACHINE}"_s, name);
        const qsizetype tab = line.indexOf(u'\t');
        const WinPath path = WinPath::parse(line.left(tab));
        QString entry = line.mid(tab + 1).trimmed();
        const bool deny = entry.startsWith(u"deny "_s);
        if (deny)
            entry = entry.mid(5);
        const qsizetype colon = entry.indexOf(u':');
        const auto who = m_accounts->lookup(entry.left(colon));
        const auto permission = parseIcaclsPermission(entry.mid(colon + 1));
        if (!path.valid() || !who || !permission)
            return Error{platform::hr::Fail, u"种子权限有错误：%1"_s.arg(line)};
        auto aces = m_files->explicitAces(path);
        aces.push_back({deny, who->sid, permission->mask, permission->flags});
        m_files->setExplicitAces(path, aces);
    }
    return {};
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

platform::Status Machine::serving(const QString& path) const {
    // Inside one read scope the services' states cannot change: they are read once for it.
    if (m_db->readScope() == 0 || m_stoppedScope != m_db->readScope()) {
        m_stopped.clear();
        auto st = m_db->prepare("SELECT name FROM facts WHERE value = 'stopped'");
        while (st.step())
            m_stopped << st.text(0);
        m_stoppedScope = m_db->readScope();
    }
    // IIS Admin serves the whole metabase; with the web or FTP service stopped its part of the
    // metabase cannot be bound either, as when the service is not installed.
    if (m_stopped.isEmpty())
        return {};
    if (m_stopped.contains(u"service.iisadmin"_s))
        return metabaseError(platform::hr::RpcUnavailable);
    const QString p = path.toUpper();
    if ((p.startsWith(u"/LM/W3SVC"_s) && m_stopped.contains(u"service.w3svc"_s)) ||
        (p.startsWith(u"/LM/MSFTPSVC"_s) && m_stopped.contains(u"service.msftpsvc"_s)))
        return metabaseError(platform::hr::PathNotFound);
    return {};
}

} // namespace emulation::machine
