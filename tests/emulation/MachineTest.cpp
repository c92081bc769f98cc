#include "emulation/Machine.h"
#include "emulation/Database.h"
#include "emulation/MetabaseStore.h"
#include "emulation/WinPath.h"
#include "tests/support/TempMachine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(Machine, MissingMachineNamesTheFolderAndTheInstallCommand) {
    QTemporaryDir dir;
    const QString folder = dir.path() + u"/nowhere"_s;
    auto opened = emulation::Machine::open(folder);
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
    auto opened = emulation::Machine::open(dir.path());
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(opened.error().text.contains(u"损坏"_s)) << opened.error().text.toStdString();
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), junk);
}

TEST(Machine, InstallRefusesAFolderThatHoldsAMachine) {
    testing_support::TempMachine m;
    m->setFact(u"marker"_s, u"kept"_s);
    auto again = emulation::Machine::install(m.folder(), {});
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(m.reopen()->fact(u"marker"_s), u"kept"_s);
}

TEST(Machine, InstallRefusesABadComputerNameAndLeavesNothingBehind) {
    QTemporaryDir dir;
    for (const auto* name : {u"", u"web server", u"a/b", u"ABCDEFGHIJKLMNOP"}) {
        emulation::Machine::InstallOptions options;
        options.name = QString::fromUtf16(name);
        EXPECT_FALSE(emulation::Machine::install(dir.path() + u"/m"_s, options).ok())
            << options.name.toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.path() + u"/m"_s));
    }
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
    EXPECT_EQ(st.number(0), emulation::Machine::schemaVersion());
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
    EXPECT_EQ(emulation::WinPath::parse(u"d:\\WebRoot\\site. "_s).toString(), u"D:\\WebRoot\\site"_s);
}

} // namespace
