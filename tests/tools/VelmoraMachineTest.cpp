// velmora-machine as an operator uses it: install, inspect and operate a machine.

#include "tests/support/QtPrinters.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
        args << u"--machine"_s << machine();
        QProcess p;
        p.start(QString::fromUtf8(VELMORA_MACHINE_BIN), args);
        EXPECT_TRUE(p.waitForFinished(30000));
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }
};

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
}

TEST_F(VelmoraMachineTest, ProgramInstallationFactsAndServices) {
    tool({u"install"_s, u"--name"_s, u"web01"_s});
    EXPECT_EQ(tool({u"install-program"_s}).exitCode, 0);
    EXPECT_EQ(tool({u"cmd"_s, u"cmd.exe /c type C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe"_s}).exitCode,
              0);
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

} // namespace
