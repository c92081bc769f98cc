#include "emulation/machine/Machine.h"
#include "emulation/accounts/AccountStore.h"
#include "emulation/files/WinPath.h"
#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/metabase/SecureValue.h"
#include "tests/support/TempMachine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(Machine, MissingMachineNamesTheFolderAndTheInstallCommand) {
    QTemporaryDir dir;
    const QString folder = dir.path() + u"/nowhere"_s;
    auto opened = emulation::machine::Machine::open(folder);
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(opened.error().text.contains(folder));
    EXPECT_TRUE(opened.error().text.contains(u"velmora-machine install"_s));
    EXPECT_FALSE(QFileInfo::exists(folder)) << "opening never creates a machine";
}

TEST(Machine, DamagedDatabaseIsReportedAndLeftAlone) {
    QTemporaryDir dir;
    const QByteArray junk("this is not a database, but it is somebody's file\n");
    QFile f(dir.path() + u"/machine.db"_s);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(junk);
    f.close();
    auto opened = emulation::machine::Machine::open(dir.path());
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(opened.error().text.contains(u"损坏"_s)) << opened.error().text.toStdString();
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), junk);
}

TEST(Machine, InstallRefusesAFolderThatHoldsAMachine) {
    testing_support::TempMachine m;
    m->setFact(u"marker"_s, u"kept"_s);
    auto again = emulation::machine::Machine::install(m.folder(), {});
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(m.reopen()->fact(u"marker"_s), u"kept"_s);
}

TEST(Machine, InstallRefusesABadComputerNameAndLeavesNothingBehind) {
    QTemporaryDir dir;
    for (const auto* name : {u"", u"web server", u"a/b", u"ABCDEFGHIJKLMNOP"}) {
        emulation::machine::Machine::InstallOptions options;
        options.name = QString::fromUtf16(name);
        EXPECT_FALSE(emulation::machine::Machine::install(dir.path() + u"/m"_s, options).ok())
            << options.name.toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.path() + u"/m"_s));
    }
}

TEST(Machine, InstallRefusesAFolderThatIsNotEmptyAndLeavesItAsItWas) {
    QTemporaryDir dir;
    QFile f(dir.path() + u"/notes.txt"_s);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    auto refused = emulation::machine::Machine::install(dir.path(), {});
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().text.contains(dir.path()));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{u"notes.txt"_s});
    // An empty folder is taken, and nothing is left beside it.
    QTemporaryDir parent;
    ASSERT_TRUE(QDir(parent.path()).mkdir(u"m"_s));
    ASSERT_TRUE(emulation::machine::Machine::install(parent.path() + u"/m"_s, {}).ok());
    EXPECT_EQ(QDir(parent.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{u"m"_s});
}

// A machine whose installation did not finish, or that lost its facts, accounts or drives, is
// refused when opened with the folder and the way to install it again.
TEST(Machine, AnIncompleteMachineIsRefusedWithTheWayToReinstallIt) {
    const std::pair<const char*, QString> damages[] = {
        {"DELETE FROM facts", u"事实"_s},
        {"DELETE FROM facts WHERE name = 'build'", u"事实"_s},
        {"DELETE FROM principals", u"帐户"_s},
        {"DELETE FROM mb_keys", u"元数据库"_s},
        {nullptr, u"驱动器 C:"_s},
    };
    for (const auto& [sql, missing] : damages) {
        testing_support::TempMachine m;
        if (sql)
            ASSERT_TRUE(m->db().exec(sql));
        else
            ASSERT_TRUE(QDir(m->drivesFolder() + u"/C"_s).removeRecursively());
        auto opened = emulation::machine::Machine::open(m.folder());
        ASSERT_FALSE(opened.ok()) << missing.toStdString();
        const QString text = opened.error().text;
        EXPECT_TRUE(text.contains(u"模拟服务器不完整："_s + m.folder())) << text.toStdString();
        EXPECT_TRUE(text.contains(missing)) << text.toStdString();
        EXPECT_TRUE(text.contains(u"velmora-machine install --machine \""_s + m.folder() + u'"'))
            << text.toStdString();
    }
}

TEST(Machine, EachMachineHasPasswordsOfItsOwnAndAPrivateDatabase) {
    QTemporaryDir dir;
    QStringList seen;
    for (const QString& folder : {dir.path() + u"/a"_s, dir.path() + u"/b"_s}) {
        auto m = emulation::machine::Machine::install(folder, {}).value();
        auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
        const QString anonymous = service->Get(u"AnonymousUserPass"_s).value().toString();
        const QString wam = service->Get(u"WAMUserPass"_s).value().toString();
        EXPECT_EQ(anonymous.size(), 16);
        EXPECT_NE(anonymous, wam);
        EXPECT_NE(anonymous, u"Qv7#mT2p!Lx9rB4e"_s) << "not the password every machine once shared";
        EXPECT_TRUE(anonymous.contains(QRegularExpression(u"[A-Z]"_s)) &&
                    anonymous.contains(QRegularExpression(u"[a-z]"_s)) &&
                    anonymous.contains(QRegularExpression(u"[0-9]"_s)))
            << anonymous.toStdString();
        // The accounts hold the same passwords as the metabase.
        EXPECT_TRUE(m->accounts().checkPassword(u"IUSR_VELMORA"_s, anonymous));
        EXPECT_TRUE(m->accounts().checkPassword(u"IWAM_VELMORA"_s, wam));
        EXPECT_EQ(m->metabase()
                      .Bind(u"IIS://LocalHost/MSFTPSVC"_s)
                      .value()
                      ->Get(u"AnonymousUserPass"_s)
                      .value()
                      .toString(),
                  anonymous);
        seen << anonymous << wam;
        EXPECT_EQ(QFile::permissions(folder + u"/machine.db"_s),
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                      QFileDevice::WriteUser);
        EXPECT_NE(emulation::metabase::machineKey(m->db()), QByteArray());
        ASSERT_TRUE(QFileInfo::exists(folder + u"/machine.db-wal"_s));
        EXPECT_EQ(QFile::permissions(folder + u"/machine.db-wal"_s) &
                      (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteOther),
                  0)
            << "its log is as private";
    }
    EXPECT_EQ(QSet<QString>(seen.begin(), seen.end()).size(), 4);
    auto a = emulation::machine::Machine::open(dir.path() + u"/a"_s).value();
    auto b = emulation::machine::Machine::open(dir.path() + u"/b"_s).value();
    EXPECT_NE(emulation::metabase::machineKey(a->db()), emulation::metabase::machineKey(b->db()));
    // A database made readable by others is made private again when the machine is opened.
    a.reset();
    QFile::setPermissions(dir.path() + u"/a/machine.db"_s,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    ASSERT_TRUE(emulation::machine::Machine::open(dir.path() + u"/a"_s).ok());
    EXPECT_FALSE(QFile::permissions(dir.path() + u"/a/machine.db"_s) & QFileDevice::ReadOther);
}

TEST(Machine, FreshMachineHasItsFactsAndDrives) {
    testing_support::TempMachine m(u"web01"_s);
    EXPECT_EQ(m->fact(u"name"_s), u"WEB01"_s);
    EXPECT_EQ(m->fact(u"build"_s), u"3790"_s);
    for (const auto* path : {u"C:\\WINDOWS\\system32\\drivers", u"C:\\Inetpub\\wwwroot",
                             u"c:\\inetpub\\ftproot", u"C:\\WINDOWS\\system32\\LogFiles", u"D:\\"})
        EXPECT_TRUE(QFileInfo(m->hostPath(QString::fromUtf16(path))).isDir())
            << QString::fromUtf16(path).toStdString();
    EXPECT_TRUE(QFileInfo(m->hostPath(u"C:\\WINDOWS\\system32\\net.exe"_s)).isFile());
    EXPECT_EQ(m->metabase()
                  .Bind(u"IIS://LocalHost/W3SVC"_s)
                  .value()
                  ->Get(u"AnonymousUserName"_s)
                  .value()
                  .toString(),
              u"IUSR_WEB01"_s);
}

TEST(Machine, OpenBringsAnOlderDatabaseUpToDate) {
    testing_support::TempMachine m;
    EXPECT_EQ(m.reopen() != nullptr, true);
    auto st = m->db().prepare("PRAGMA user_version");
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.number(0), emulation::machine::Machine::schemaVersion());
}

TEST(WindowsPaths, ResolveWithoutRegardToCaseAndDropTrailingDotsAndBlanks) {
    testing_support::TempMachine m;
    const QString real = m->hostPath(u"C:\\WINDOWS\\system32\\drivers"_s);
    EXPECT_EQ(m->hostPath(u"c:\\windows\\SYSTEM32\\Drivers"_s), real);
    EXPECT_EQ(m->hostPath(u"C:/Windows/System32/drivers/"_s), real);
    EXPECT_EQ(m->hostPath(u"C:\\Windows.\\System32\\drivers. .."_s), real);
    EXPECT_EQ(m->hostPath(u"C:\\Windows\\..\\WINDOWS\\.\\system32\\drivers"_s), real);
    EXPECT_TRUE(m->hostPath(u"C:\\WINDOWS\\new folder\\x.txt"_s).endsWith(u"/C/WINDOWS/new folder/x.txt"_s));
    EXPECT_TRUE(m->hostPath(u"Q:\\nothing"_s).isEmpty()) << "no drive Q:";
    EXPECT_TRUE(m->hostPath(u"\\\\server\\share"_s).isEmpty());
    EXPECT_TRUE(m->hostPath(u"relative\\path"_s).isEmpty());
    EXPECT_EQ(emulation::files::WinPath::parse(u"d:\\WebRoot\\site. "_s).toString(), u"D:\\WebRoot\\site"_s);
}

} // namespace
