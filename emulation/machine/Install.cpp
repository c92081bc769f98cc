// Installing a fresh machine: built beside its folder, seeded from the seed files, renamed into
// place when complete.

#include "emulation/machine/Machine.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/files/HostFile.h"
#include "emulation/files/WinPath.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/MachineInfo.h"
#include "emulation/machine/Migrations.h"
#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/SecureValue.h"
#include "platform/AnsiCodePage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <signal.h>
#include <sys/types.h>

namespace emulation::machine {

using accounts::AccountStore;
using accounts::parseIcaclsPermission;
using files::WinPath;
using metabase::importSeedMetabaseXml;
using metabase::randomPassword;

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;

namespace {

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
            if (const QString problem = files::makeFolders(host); !problem.isEmpty())
                return Error{platform::hr::AccessDenied, u"无法创建文件夹 %1：%2"_s.arg(host, problem)};
            continue;
        }
        if (const QString problem = files::makeFolders(QFileInfo(host).path()); !problem.isEmpty())
            return Error{platform::hr::AccessDenied, u"无法创建文件夹 %1：%2"_s.arg(host, problem)};
        // A Chinese Windows keeps its text files in the ANSI code page, GBK.
        if (const QString problem = files::appendToFile(
                host, eq < 0 ? QByteArray() : platform::toAnsi(line.mid(eq + 3)) + "\r\n");
            !problem.isEmpty())
            return problem == files::fserr::DiskFull
                       ? Error{Database::DiskFullHr, problem}
                       : Error{platform::hr::AccessDenied, u"无法写入文件 %1"_s.arg(host)};
    }
    return {};
}

} // namespace

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
    // Checked as an opening checks it before it takes the target's place: a machine that a full
    // disk left without a part never passes for one.
    if (auto complete = open(staging.path()); !complete)
        return complete.error().text.contains(Database::DiskFull)
                   ? Error{Database::DiskFullHr, Database::DiskFull}
                   : complete.error();
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
        if (!st.run())
            return Error{platform::hr::Fail, db->lastError()};
    }
    std::unique_ptr<Machine> machine(new Machine(folder, std::move(db)));
    if (auto s = machine->seedAccounts(seed(u"accounts.txt"_s), placeholders); !s)
        return s.error();
    installStep("accounts");
    if (auto s = machine->seedPermissions(seed(u"acl.txt"_s)); !s)
        return s.error();
    installStep("permissions");
    const std::pair<QString, QString> facts[] = {
        {u"build"_s, u"3790"_s},
        {u"version"_s, u"5.2"_s},
        {u"servicepack"_s, u"Service Pack 2"_s},
        {u"service.iisadmin"_s, u"running"_s},
        {u"service.w3svc"_s, u"running"_s},
        {u"service.msftpsvc"_s, u"running"_s},
        {u"service.winmgmt"_s, u"running"_s},
        {u"addresses"_s, MachineInfo::formatAddresses(MachineInfo::hostAddresses())},
    };
    for (const auto& [name, value] : facts)
        if (!machine->setFact(name, value))
            return Error{platform::hr::Fail, machine->db().lastError()};
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
            if (!st.run())
                return Error{platform::hr::Fail, m_db->lastError()};
        }
    }
    if (!setFact(u"next_rid"_s, u"1003"_s) || !tx.commit())
        return Error{platform::hr::Fail, m_db->lastError()};
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

} // namespace emulation::machine
