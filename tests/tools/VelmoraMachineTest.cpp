// velmora-machine as an operator uses it: install, inspect and operate a machine.

#include "tests/emulation/SmallDisk.h"
#include "tests/support/QtPrinters.h"
#include "tools/velmora-machine/Subcommand.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Ran {
    int exitCode;
    QString out;
    QString err;
};

class VelmoraMachineTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString machine() const { return dir.path() + u"/m"_s; }
    Ran tool(QStringList args) {
        args = QStringList{u"--machine"_s, machine()} + args;
        QProcess p;
        p.start(QString::fromUtf8(VELMORA_MACHINE_BIN), args);
        EXPECT_TRUE(p.waitForFinished(30000));
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }
};

TEST_F(VelmoraMachineTest, AnExportThatCannotBeWrittenWholeFails) {
    ASSERT_EQ(tool({u"install"_s}).exitCode, 0);
    QProcess p;
    p.setStandardOutputFile(u"/dev/full"_s);
    p.start(QString::fromUtf8(VELMORA_MACHINE_BIN), {u"--machine"_s, machine(), u"metabase"_s, u"export"_s});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains(u"磁盘空间不足。"_s));
}

TEST_F(VelmoraMachineTest, InstallThenExportHoldsTheDefaultSites) {
    EXPECT_EQ(tool({u"install"_s}).exitCode, 0);
    const Ran exported = tool({u"metabase"_s, u"export"_s});
    EXPECT_EQ(exported.exitCode, 0);
    EXPECT_TRUE(exported.out.contains(u"ServerComment=\"默认网站\""_s));
    EXPECT_TRUE(exported.out.contains(u"ServerComment=\"默认 FTP 站点\""_s));
    const Ran again = tool({u"install"_s});
    EXPECT_EQ(again.exitCode, 1) << "an existing machine is never overwritten";
    EXPECT_TRUE(again.err.contains(u"已有模拟服务器"_s));
}

TEST_F(VelmoraMachineTest, MissingMachineIsNamedWithTheInstallCommand) {
    const Ran r = tool({u"metabase"_s, u"export"_s});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(machine()));
    EXPECT_TRUE(r.err.contains(u"velmora-machine install"_s));
}

TEST_F(VelmoraMachineTest, CommandsRunOnTheMachine) {
    tool({u"install"_s});
    EXPECT_EQ(tool({u"cmd"_s, u"cmd.exe /c net user a b /add"_s}).exitCode, 0);
    const Ran shown = tool({u"cmd"_s, u"cmd.exe /c net user a"_s});
    EXPECT_TRUE(shown.out.contains(u"*Users"_s)) << shown.out.toStdString();
    tool({u"cmd"_s, u"cmd.exe /c md D:\\x"_s});
    EXPECT_EQ(tool({u"cmd"_s, u"cmd.exe /c icacls \"D:\\x\" /grant a:(OI)(CI)(RA,REA,RC,RD,S)"_s}).exitCode,
              0);
    EXPECT_TRUE(tool({u"cmd"_s, u"cmd.exe /c icacls \"D:\\x\""_s}).out.contains(u"VELMORA\\a:(OI)(CI)(R)"_s));
    const Ran failed = tool({u"cmd"_s, u"cmd.exe /c net user nobody"_s});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.out.contains(u"[退出代码 2]"_s));
    // Lines start as the program starts them, without cmd.exe: a built-in of cmd alone is no program.
    const Ran builtin = tool({u"cmd"_s, u"md D:\\y"_s});
    EXPECT_EQ(builtin.exitCode, 1);
    EXPECT_TRUE(builtin.err.contains(u"系统找不到指定的文件。"_s)) << builtin.err.toStdString();
    EXPECT_FALSE(builtin.out.contains(u"[退出代码"_s));
    EXPECT_TRUE(tool({u"help"_s, u"cmd"_s}).out.contains(u"“cmd.exe /c md D:\\x”"_s));
}

TEST_F(VelmoraMachineTest, ProgramInstallationFactsAndServices) {
    tool({u"install"_s, u"--name"_s, u"web01"_s});
    EXPECT_EQ(tool({u"install-program"_s}).exitCode, 0);
    EXPECT_EQ(tool({u"cmd"_s, u"cmd.exe /c type C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe"_s}).exitCode,
              0);
    // The default page is a file of a Chinese Windows: GBK, as its charset says.
    const Ran page = tool({u"cmd"_s, u"cmd.exe /c type C:\\WINDOWS\\system32\\drivers\\index.html"_s});
    EXPECT_TRUE(page.out.contains(u"charset=\"gb2312\""_s)) << page.out.toStdString();
    EXPECT_TRUE(page.out.contains(u"<h1>网站已开通</h1>"_s)) << page.out.toStdString();
    EXPECT_EQ(tool({u"facts"_s, u"set"_s, u"build"_s, u"6001"_s}).exitCode, 0);
    EXPECT_EQ(tool({u"facts"_s, u"set"_s, u"addresses"_s, u"10.0.0.5 10.0.0.6"_s}).exitCode, 0);
    EXPECT_EQ(tool({u"facts"_s, u"set"_s, u"addresses"_s, u"10.0.0.500"_s}).exitCode, 1) << "not an address";
    const Ran facts = tool({u"facts"_s});
    EXPECT_TRUE(facts.out.contains(u"name = WEB01\n"_s));
    EXPECT_TRUE(facts.out.contains(u"build = 6001\n"_s));
    EXPECT_TRUE(facts.out.contains(u"addresses = 10.0.0.5 10.0.0.6\n"_s));
    EXPECT_EQ(tool({u"service"_s, u"stop"_s, u"iisadmin"_s}).exitCode, 0);
    EXPECT_TRUE(tool({u"facts"_s}).out.contains(u"service.iisadmin = stopped\n"_s));
    EXPECT_EQ(tool({u"service"_s, u"pause"_s, u"iisadmin"_s}).exitCode, 2);
    EXPECT_EQ(tool({u"service"_s, u"start"_s, u"iisadmin"_s}).exitCode, 0);
}

// The command line: every subcommand and option of the table is described, and a command line
// that cannot be understood ends with status 2 and says why.
TEST_F(VelmoraMachineTest, HelpDescribesEverySubcommandAndOption) {
    const Ran overview = tool({u"--help"_s});
    EXPECT_EQ(overview.exitCode, 0);
    EXPECT_EQ(tool({u"help"_s}).out, overview.out);
    ASSERT_GE(velmora_machine::subcommands().size(), 7u);
    for (const auto& sub : velmora_machine::subcommands()) {
        EXPECT_TRUE(overview.out.contains(u"\n  "_s + sub.name + u' ')) << sub.name.toStdString();
        EXPECT_TRUE(overview.out.contains(sub.summary)) << sub.name.toStdString();
        const Ran help = tool({u"help"_s, sub.name});
        EXPECT_EQ(help.exitCode, 0) << sub.name.toStdString();
        EXPECT_TRUE(help.out.startsWith(u"用法：velmora-machine "_s + sub.name)) << help.out.toStdString();
        for (const auto& option : sub.options) {
            EXPECT_TRUE(help.out.contains(u"--"_s + option.names().last())) << sub.name.toStdString();
            EXPECT_TRUE(help.out.contains(option.description())) << sub.name.toStdString();
        }
        EXPECT_TRUE(help.out.contains(u"--machine <文件夹>"_s));
        if (sub.name != u"help"_s) {
            EXPECT_EQ(tool({sub.name, u"--help"_s}).out, help.out) << sub.name.toStdString();
        }
    }
    for (const QString& name :
         {u"install"_s, u"install-program"_s, u"metabase"_s, u"cmd"_s, u"facts"_s, u"service"_s, u"help"_s})
        EXPECT_NE(velmora_machine::findSubcommand(name), nullptr) << name.toStdString();
    const Ran version = tool({u"--version"_s});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith(u"velmora-machine 0."_s)) << version.out.toStdString();
}

TEST_F(VelmoraMachineTest, CommandLinesThatCannotBeUnderstoodEndWithStatusTwo) {
    const Ran unknown = tool({u"reinstall"_s});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.contains(u"未知的子命令：reinstall"_s)) << unknown.err.toStdString();
    const Ran option = tool({u"install"_s, u"--nmae"_s, u"web01"_s});
    EXPECT_EQ(option.exitCode, 2);
    EXPECT_TRUE(option.err.contains(u"未知的选项：--nmae"_s)) << option.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(machine())) << "nothing is installed";
    const Ran otherOption = tool({u"cmd"_s, u"cmd.exe /c ver"_s, u"--name"_s, u"x"_s});
    EXPECT_EQ(otherOption.exitCode, 2) << "--name belongs to install only";
    const Ran missing = tool({u"install"_s, u"--name"_s});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.contains(u"--name"_s)) << missing.err.toStdString();
    EXPECT_EQ(tool({u"cmd"_s}).exitCode, 2) << "the command line is missing";
    EXPECT_EQ(tool({u"cmd"_s, u"a"_s, u"b"_s}).exitCode, 2);
    EXPECT_EQ(tool({u"metabase"_s, u"copy"_s}).exitCode, 2);
    EXPECT_EQ(tool({u"facts"_s, u"set"_s, u"servicepack"_s, u"SP3"_s}).exitCode, 2);
    EXPECT_EQ(tool({u"help"_s, u"reinstall"_s}).exitCode, 2);
    const Ran none = tool({});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.contains(u"子命令："_s));
    // Options may come anywhere; "--" ends them, so a command line may begin with a dash.
    EXPECT_EQ(tool({u"--name"_s, u"web02"_s, u"install"_s}).exitCode, 0);
    EXPECT_TRUE(tool({u"facts"_s}).out.contains(u"name = WEB02\n"_s));
    const Ran dashed = tool({u"cmd"_s, u"--"_s, u"-x"_s});
    EXPECT_NE(dashed.exitCode, 2) << dashed.err.toStdString();
}

// An installation killed at any point, even just before the machine is renamed into place,
// leaves no machine at the folder, and installing again works.
TEST_F(VelmoraMachineTest, AnInstallKilledAtAnyPointLeavesNoMachineBehind) {
    for (const QString& step : {u"database"_s, u"metabase"_s, u"drives"_s, u"accounts"_s, u"permissions"_s,
                                u"facts"_s, u"rename"_s}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"VELMORA_INSTALL_KILL_AT"_s, step);
        p.setProcessEnvironment(env);
        p.start(QString::fromUtf8(VELMORA_MACHINE_BIN), {u"install"_s, u"--machine"_s, machine()});
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::CrashExit) << step.toStdString();
        EXPECT_FALSE(QFileInfo::exists(machine())) << step.toStdString();
        const Ran opened = tool({u"metabase"_s, u"export"_s});
        EXPECT_EQ(opened.exitCode, 1);
        EXPECT_TRUE(opened.err.contains(u"找不到模拟服务器："_s + machine())) << opened.err.toStdString();
    }
    // What a killed installation left beside the folder is removed by the next one.
    auto leftovers = [&](const QString& pattern) {
        return QDir(dir.path()).entryList({pattern}, QDir::Dirs | QDir::Hidden, QDir::Name);
    };
    EXPECT_EQ(leftovers(u".m.installing-*"_s).size(), 1);
    // What a killed installation built is not a machine: moved into place by hand it is refused.
    QProcess killed;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"VELMORA_INSTALL_KILL_AT"_s, u"accounts"_s);
    killed.setProcessEnvironment(env);
    killed.start(QString::fromUtf8(VELMORA_MACHINE_BIN),
                 {u"install"_s, u"--machine"_s, dir.path() + u"/k"_s});
    ASSERT_TRUE(killed.waitForFinished(30000));
    const QStringList partial = leftovers(u".k.installing-*"_s);
    ASSERT_EQ(partial.size(), 1);
    ASSERT_TRUE(QDir(dir.path()).rename(partial.first(), u"m"_s));
    const Ran refused = tool({u"cmd"_s, u"cmd.exe /c ver"_s});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains(u"模拟服务器不完整："_s + machine())) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains(u"velmora-machine install --machine \""_s + machine()))
        << refused.err.toStdString();
    EXPECT_EQ(tool({u"install"_s}).exitCode, 1) << "a folder that is not empty is never overwritten";
    ASSERT_TRUE(QDir(machine()).removeRecursively());
    EXPECT_EQ(tool({u"install"_s}).exitCode, 0);
    EXPECT_EQ(tool({u"metabase"_s, u"export"_s}).exitCode, 0);
    EXPECT_EQ(leftovers(u".m.installing-*"_s), QStringList());
}

// Three processes granting 200 accounts each on one folder at once: every grant is read, changed
// and written inside one write transaction, so none is lost.
TEST_F(VelmoraMachineTest, ConcurrentGrantsOnOneFolderLoseNothing) {
    ASSERT_EQ(tool({u"install"_s}).exitCode, 0);
    {
        auto m = emulation::machine::Machine::open(machine()).value();
        for (int i = 0; i < 600; ++i)
            ASSERT_EQ(m->accounts().addUser(u"u%1"_s.arg(i), u"pw"_s, {}, {}, 0),
                      emulation::accounts::nerr::Success);
        ASSERT_TRUE(QDir().mkpath(m->hostPath(u"D:\\shared"_s)));
    }
    std::vector<std::unique_ptr<QProcess>> loops;
    for (int process = 0; process < 3; ++process) {
        QStringList grants;
        for (int i = process * 200; i < (process + 1) * 200; ++i)
            grants << u"icacls D:\\shared /grant u%1:(R)"_s.arg(i);
        auto p = std::make_unique<QProcess>();
        p->start(QString::fromUtf8(VELMORA_MACHINE_BIN),
                 {u"--machine"_s, machine(), u"cmd"_s, u"cmd.exe /c "_s + grants.join(u" & "_s)});
        loops.push_back(std::move(p));
    }
    for (auto& p : loops) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    auto m = emulation::machine::Machine::open(machine()).value();
    const auto aces = m->files().explicitAces(emulation::files::WinPath::parse(u"D:\\shared"_s));
    EXPECT_EQ(aces.size(), 600u);
    QSet<QString> sids;
    for (const auto& ace : aces)
        sids.insert(ace.sid);
    EXPECT_EQ(sids.size(), 600);
}

// The operator moves a metabase with export and import: the secure properties go encrypted with
// the machine's key, come back on the same machine, and are refused by another one.
TEST_F(VelmoraMachineTest, ExportedSecretsComeBackOnlyOnTheSameMachine) {
    ASSERT_EQ(tool({u"install"_s}).exitCode, 0);
    const QString file = dir.path() + u"/MetaBase.xml"_s;
    ASSERT_EQ(tool({u"metabase"_s, u"export"_s, u"--output"_s, file}).exitCode, 0);
    EXPECT_EQ(QFile::permissions(file) & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0)
        << "the file is its owner's";
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray exported = f.readAll();
    EXPECT_EQ(tool({u"metabase"_s, u"export"_s}).out.toUtf8(), exported);
    tool({u"cmd"_s, u"cmd.exe /c ver"_s}); // the machine is used meanwhile
    const Ran same = tool({u"metabase"_s, u"import"_s, file});
    EXPECT_EQ(same.exitCode, 0) << same.err.toStdString();
    EXPECT_EQ(tool({u"metabase"_s, u"export"_s}).out.toUtf8(), exported);

    const QString other = dir.path() + u"/other"_s;
    auto onOther = [&](const QStringList& args) {
        QProcess p;
        p.start(QString::fromUtf8(VELMORA_MACHINE_BIN), QStringList{u"--machine"_s, other} + args);
        EXPECT_TRUE(p.waitForFinished(30000));
        return Ran{p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
                   QString::fromUtf8(p.readAllStandardError())};
    };
    ASSERT_EQ(onOther({u"install"_s}).exitCode, 0);
    const QString before = onOther({u"metabase"_s, u"export"_s}).out;
    const Ran refused = onOther({u"metabase"_s, u"import"_s, file});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains(u"不是用本服务器的密钥加密的"_s)) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains(u"没有导入任何内容"_s));
    EXPECT_EQ(onOther({u"metabase"_s, u"export"_s}).out, before);
    EXPECT_NE(before.toUtf8(), exported) << "two machines, two keys and two sets of passwords";
}

// A new computer name keeps the machine's SID: the operator stays the Administrator, and the
// local accounts, old and new, belong to the new name.
TEST_F(VelmoraMachineTest, ARenamedComputerKeepsItsSidAndItsAccounts) {
    ASSERT_EQ(tool({u"install"_s}).exitCode, 0);
    ASSERT_EQ(tool({u"facts"_s, u"set"_s, u"name"_s, u"web02"_s}).exitCode, 0);
    EXPECT_EQ(tool({u"cmd"_s, u"cmd.exe /c net user a b /add"_s}).exitCode, 0);
    auto m = emulation::machine::Machine::open(machine()).value();
    const auto administrator = m->accounts().lookup(u"WEB02\\Administrator"_s);
    ASSERT_TRUE(administrator);
    const auto added = m->accounts().lookup(u"WEB02\\a"_s);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->sid.section(u'-', 0, -2), administrator->sid.section(u'-', 0, -2));
    EXPECT_EQ(m->files().operatorSid(), administrator->sid);
    EXPECT_TRUE(m->accounts().lookup(u"WEB02\\IUSR_VELMORA"_s));
    EXPECT_FALSE(m->accounts().lookup(u"VELMORA\\a"_s));
}

} // namespace

namespace {

// traffic into a day file that cannot take its requests: a pipe ends it at once with status 2, a
// full disk with status 1 and the count of what was not written, never a claim of success.
class TrafficTest : public VelmoraMachineTest {
protected:
    void logInto(const QString& folder) {
        ASSERT_EQ(tool({u"install"_s}).exitCode, 0);
        auto opened = emulation::machine::Machine::open(machine());
        ASSERT_TRUE(opened);
        auto service = opened.value()->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
        service->Put(u"CentralBinaryLoggingEnabled"_s, true);
        service->Put(u"LogFileDirectory"_s, folder);
        ASSERT_TRUE(service->SetInfo().ok());
        QDir().mkpath(opened.value()->hostPath(folder + u"\\W3SVC"_s));
        dayFile = opened.value()->hostPath(folder + u"\\W3SVC\\ra260101.ibl"_s);
    }
    QString dayFile;
};

TEST_F(TrafficTest, ADayFileThatIsAPipeIsRefusedAtOnce) {
    logInto(u"D:\\iislog"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(dayFile).constData(), 0600), 0);
    const Ran ran =
        tool({u"traffic"_s, u"--site"_s, u"1"_s, u"--date"_s, u"20260101"_s, u"--requests"_s, u"1"_s});
    EXPECT_EQ(ran.exitCode, 2);
    EXPECT_TRUE(ran.err.contains(u"不是普通文件"_s)) << ran.err.toStdString();
    EXPECT_TRUE(ran.out.isEmpty());
}

TEST_F(TrafficTest, RequestsThatAFullDiskRefusedAreNotClaimed) {
    testing_support::SmallDisk disk(2);
    VELMORA_NEED_SMALL_DISK(disk);
    // The machine stays where it is; its log folder is a small disk mounted into drive D:.
    logInto(u"D:\\iislog"_s);
    const QString logs = QFileInfo(dayFile).path();
    ASSERT_EQ(::mount(QFile::encodeName(disk.path()).constData(), QFile::encodeName(logs).constData(),
                      nullptr, MS_BIND, nullptr),
              0);
    disk.fill(16 * 1024);
    const Ran ran =
        tool({u"traffic"_s, u"--site"_s, u"1"_s, u"--date"_s, u"20260101"_s, u"--requests"_s, u"20000"_s});
    ::umount2(QFile::encodeName(logs).constData(), MNT_DETACH);
    EXPECT_EQ(ran.exitCode, 1);
    EXPECT_TRUE(ran.err.contains(u"磁盘空间不足"_s)) << ran.err.toStdString();
    EXPECT_TRUE(ran.err.contains(u"未能写入"_s)) << ran.err.toStdString();
    EXPECT_FALSE(ran.out.contains(u"写入网站"_s)) << ran.out.toStdString();
}

} // namespace
