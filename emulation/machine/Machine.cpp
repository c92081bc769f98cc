#include "emulation/machine/Machine.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/files/WinPath.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/MachineInfo.h"
#include "emulation/machine/Migrations.h"
#include "emulation/metabase/MetabaseStore.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace emulation::machine {

using accounts::AccountStore;
using cmd::Interpreter;
using files::FileSystem;
using files::hostPathOf;
using metabase::metabaseError;
using metabase::MetabaseStore;

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;

namespace {

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
    return newestSchemaVersion();
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
    // A full disk is no damage: the database is sound once there is room again.
    if (!db && error == Database::DiskFull)
        return Error{Database::DiskFullHr, Database::DiskFull};
    if (!db)
        return Error{platform::hr::Fail, u"模拟服务器的数据库已损坏：%1（%2）"_s.arg(dbFile, error)};
    if (auto s = migrate(*db); !s && db->diskFull())
        return Error{Database::DiskFullHr, Database::DiskFull};
    else if (!s)
        return Error{platform::hr::Fail, u"模拟服务器的数据库已损坏：%1（%2）"_s.arg(dbFile, s.error().text)};
    auto st = db->prepare("SELECT count(*) FROM mb_keys WHERE path = '/lm'");
    if (!st.step() || st.number(0) != 1)
        return Error{platform::hr::Fail, incompleteMessage(folder, u"元数据库"_s)};
    if (const QString missing = missingParts(*db, folder); !missing.isEmpty())
        return Error{platform::hr::Fail, incompleteMessage(folder, missing)};
    keepPrivate(dbFile);
    return std::unique_ptr<Machine>(new Machine(folder, std::move(db)));
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

bool Machine::setFact(const QString& name, const QString& value) {
    auto st = m_db->prepare("INSERT INTO facts(name, value) VALUES (?1, ?2) "
                            "ON CONFLICT(name) DO UPDATE SET value = ?2");
    st.bind(1, name).bind(2, value);
    return st.run();
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
