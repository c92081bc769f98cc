// Start-up as the operator meets it: the real window over a fresh machine.

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/metabase/MetabaseStore.h"
#include "settings/ReadIniValue.h"
#include "tests/support/FormHarness.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using testing_support::FormHarness;

namespace {

const QByteArray FirstStartFile =
    "[Version]\r\nvers=2.4\r\n"
    "[HomePath]\r\nPATH=D:\\WebRoot\r\nLogPath=C:\\WINDOWS\\system32\\LogFiles\r\n"
    "Run-Status=False\r\n"
    "[HostSet]\r\nUSRGroup=True\r\n"
    "[SiteNum]\r\nNum=1\r\n"
    "[VMUSER]\r\nName=IUSR_VELMORA\r\n"
    "[LOGSET]\r\nformat=FALSE\r\n";
const QString GroupCommand =
    u"cmd.exe /c net localgroup velmorausers /add  /comment:\"虚拟主机用户组,网站和FTP账户组\""_s;

QStringList comboItems(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// The "USRGroup=..." line of the settings file.
QString groupSetting(const QByteArray& file) {
    const qsizetype at = file.indexOf("USRGroup=");
    return at < 0 ? QString() : QString::fromUtf8(file.mid(at, file.indexOf('\r', at) - at));
}

// Hands each command line to the machine, noting the group setting as the command starts.
class SettingsAtEachCommand final : public platform::CommandRunner {
public:
    explicit SettingsAtEachCommand(FormHarness& h) : m_h(h) {}
    platform::Outcome<platform::CommandResult> RunHidden(const QString& line) override {
        events << groupSetting(m_h.settingsFile()) << line;
        return m_h.machine->interpreter().RunHidden(line);
    }
    QStringList events;

private:
    FormHarness& m_h;
};

TEST(Startup, FirstStartWritesTheSettingsAndPreparesTheWindow) {
    FormHarness h;
    Form1& form = h.build();
    SettingsAtEachCommand runner(h);
    form.services.commands = &runner;
    form.Form_Initialize();
    ASSERT_FALSE(form.ended());
    EXPECT_EQ(h.settingsFile(), FirstStartFile) << "the eight keys in order";
    runner.events << groupSetting(h.settingsFile());
    EXPECT_EQ(runner.events, (QStringList{u"USRGroup=False"_s, GroupCommand, u"USRGroup=True"_s}))
        << "the group is marked as made only after its command";
    EXPECT_EQ(h.journal(), QStringList{GroupCommand});
    EXPECT_TRUE(h.machine->accounts().lookup(u"velmorausers"_s).has_value())
        << "the group exists on the machine";
    EXPECT_EQ(form.state.HomeRoot, u"D:\\WebRoot"_s);
    EXPECT_EQ(form.state.RunStatus, u"False"_s);
    EXPECT_EQ(form.state.SecureCount, QString());
    EXPECT_EQ(form.state.LogFolder, QString());
    EXPECT_EQ(form.state.SharedAnonymousUser, u"IUSR_VELMORA"_s);
    EXPECT_EQ(form.txtSitePath->text(), u"D:\\WebRoot"_s);
    EXPECT_EQ(form.timedate->text(), u"20260315"_s);
    EXPECT_EQ(comboItems(form.Combo1), (QStringList{u"(全部未分配)"_s, u"192.168.1.10"_s}));
    EXPECT_EQ(form.Combo1->currentText(), u"(全部未分配)"_s);
    EXPECT_EQ(form.state.BindingIP, QString());
    EXPECT_EQ(h.row(1), u"启动|默认网站|1| |IUSR_VELMORA|Qv7#mT2p!Lx9rB4e|c:\\inetpub\\wwwroot"_s);
    EXPECT_EQ(form.Label10->text(), u"1"_s);
    EXPECT_EQ(form.state.FtpSiteNumber, 1);
    EXPECT_EQ(h.clock.waits(), (std::vector<int>{200, 200}));
    EXPECT_TRUE(h.dialogs.shown.empty());
    EXPECT_EQ(h.end.ends, 0);
}

TEST(Startup, ADefaultFtpSiteNumberedAbove32767IsFoundAsItIs) {
    FormHarness h;
    auto service = h.machine->metabase().Bind(u"IIS://localhost/MSFTPSVC"_s).value();
    ASSERT_TRUE(service->Delete(u"IIsFtpServer"_s, u"1"_s));
    auto site = service->Create(u"IIsFtpServer"_s, u"40000"_s).value();
    site->Put(u"ServerComment"_s, u"默认 FTP 站点"_s);
    site->Put(u"AllowAnonymous"_s, true);
    ASSERT_TRUE(site->SetInfo());
    Form1& form = h.start();
    ASSERT_FALSE(form.ended());
    EXPECT_EQ(form.state.FtpSiteNumber, 40000);
    auto closed =
        h.machine->metabase().Bind(u"IIS://localhost/MSFTPSVC/40000"_s).value()->Get(u"AllowAnonymous"_s);
    ASSERT_TRUE(closed.ok());
    EXPECT_FALSE(closed.value().toBool());
}

TEST(Startup, LaterStartReadsTheSettingsAndRunsNoGroupCommand) {
    FormHarness h;
    h.machine.writeFile(settings::SettingsFile,
                        "[HomePath]\r\nPATH=E:\\Sites\r\nLogPath=F:\\Logs\r\nRun-Status=True\r\n"
                        "[SiteNum]\r\nNum=7\r\n[HostSet]\r\nUSRGroup=True\r\n"
                        "[VMUSER]\r\nName=edited-by-hand\r\n");
    Form1& form = h.start();
    EXPECT_EQ(form.state.HomeRoot, u"E:\\Sites"_s);
    EXPECT_EQ(form.txtSitePath->text(), u"E:\\Sites"_s);
    EXPECT_EQ(form.state.LogFolder, u"F:\\Logs"_s);
    EXPECT_EQ(form.state.RunStatus, u"True"_s);
    EXPECT_EQ(form.state.SecureCount, u"7"_s);
    EXPECT_EQ(form.state.SharedAnonymousUser, u"IUSR_VELMORA"_s) << "a hand-edited name is replaced";
    EXPECT_TRUE(h.settingsFile().contains("[VMUSER]\r\nName=IUSR_VELMORA\r\n"));
    EXPECT_TRUE(h.journal().isEmpty()) << "USRGroup is True already";
}

TEST(Startup, LaterStartWithoutLogPathRestoresItButKeepsTheFolderEmptyForThisRun) {
    FormHarness h;
    h.machine.writeFile(settings::SettingsFile,
                        "[HomePath]\r\nPATH=D:\\WebRoot\r\n[HostSet]\r\nUSRGroup=True\r\n");
    Form1& form = h.start();
    EXPECT_EQ(form.state.LogFolder, QString());
    const QByteArray file = h.settingsFile();
    EXPECT_TRUE(file.contains("LogPath=C:\\WINDOWS\\system32\\LogFiles\r\n")) << file.toStdString();
    EXPECT_TRUE(file.contains("[Version]\r\nvers=2.4\r\n"));
    EXPECT_EQ(form.state.SecureCount, QString()) << "a missing Num reads as empty";
}

TEST(Startup, EveryAddressOfEveryAdapterInOrder) {
    FormHarness h;
    h.machine->setFact(u"addresses"_s, u"10.0.0.5 10.0.0.6; 172.16.0.9"_s);
    Form1& form = h.start();
    EXPECT_EQ(comboItems(form.Combo1),
              (QStringList{u"(全部未分配)"_s, u"10.0.0.5"_s, u"10.0.0.6"_s, u"172.16.0.9"_s}));
}

TEST(Startup, NoAdapterAddressLeavesOnlyAllUnassigned) {
    FormHarness h;
    h.machine->setFact(u"addresses"_s, QString());
    Form1& form = h.start();
    EXPECT_EQ(comboItems(form.Combo1), QStringList{u"(全部未分配)"_s});
    EXPECT_FALSE(form.ended());
}

TEST(Startup, ServerBuildsPassWindowsVistaAndLaterAreRefused) {
    for (const char16_t* build : {u"3790", u"2600"}) {
        FormHarness h;
        h.machine->setFact(u"build"_s, QString::fromUtf16(build));
        EXPECT_FALSE(h.start().ended()) << QString::fromUtf16(build).toStdString();
    }
    FormHarness h;
    h.machine->setFact(u"build"_s, u"6000"_s);
    Form1& form = h.start();
    EXPECT_TRUE(form.ended());
    EXPECT_EQ(h.end.ends, 1);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"很抱歉本软件目前仅支持Win2003系统！"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, 64);
    EXPECT_EQ(h.dialogs.shown[0].title, u"Velmora"_s);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(h.settingsFile().isEmpty()) << "the settings phase has run by then";
    EXPECT_TRUE(h.journal().isEmpty()) << "nothing after the refusal runs";
    EXPECT_EQ(form.timedate->text(), QString());
}

TEST(Startup, MissingInstallationFilesRefuseBeforeTheSettingsAreTouched) {
    for (const char16_t* missing : {u"index.html", u"velmoraconv.exe"}) {
        FormHarness h;
        QFile::remove(
            h.machine->hostPath(u"C:\\WINDOWS\\system32\\drivers\\"_s + QString::fromUtf16(missing)));
        Form1& form = h.start();
        EXPECT_TRUE(form.ended());
        ASSERT_EQ(h.dialogs.shown.size(), 1u);
        EXPECT_EQ(h.dialogs.shown[0].prompt, u"请先执行Install.bat 后再运行！"_s);
        EXPECT_EQ(h.dialogs.shown[0].style, 64);
        EXPECT_EQ(h.dialogs.shown[0].title, u"错误信息"_s);
        EXPECT_TRUE(h.settingsFile().isEmpty());
    }
}

TEST(Startup, FtpServiceDownAsksRetryOrCancel) {
    FormHarness h;
    h.machine->setFact(u"service.msftpsvc"_s, u"stopped"_s);
    h.dialogs.answer(platform::msgbox::Retry);
    h.dialogs.answer(platform::msgbox::Cancel);
    Form1& form = h.start();
    EXPECT_TRUE(form.ended());
    ASSERT_EQ(h.dialogs.shown.size(), 2u);
    for (const auto& box : h.dialogs.shown) {
        EXPECT_EQ(box.prompt, u"本服务器的Internet Iformation Server 未启动,请检查IIS是否安装"_s);
        EXPECT_EQ(box.style, 5);
        EXPECT_EQ(box.title, u"IIS服务未启动"_s);
    }
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(h.clock.waits().empty()) << "the list is never filled";
}

TEST(Startup, RetryAfterTheServiceIsBackGoesOn) {
    FormHarness h;
    h.machine->setFact(u"service.msftpsvc"_s, u"stopped"_s);
    h.dialogs.answer(platform::msgbox::Retry,
                     [&] { h.machine->setFact(u"service.msftpsvc"_s, u"running"_s); });
    Form1& form = h.start();
    EXPECT_FALSE(form.ended());
    EXPECT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(form.state.FtpSiteNumber, 1);
    EXPECT_EQ(form.Label10->text(), u"1"_s);
}

TEST(Startup, UnreachablePlatformEndsWithAStartFailure) {
    for (const char16_t* service : {u"service.iisadmin", u"service.winmgmt"}) {
        FormHarness h;
        h.machine->setFact(QString::fromUtf16(service), u"stopped"_s);
        Form1& form = h.start();
        EXPECT_TRUE(form.ended()) << QString::fromUtf16(service).toStdString();
        ASSERT_EQ(h.dialogs.shown.size(), 1u);
        EXPECT_TRUE(h.dialogs.shown[0].prompt.startsWith(u"启动失败："_s))
            << h.dialogs.shown[0].prompt.toStdString();
        EXPECT_EQ(h.dialogs.shown[0].style, 16);
        EXPECT_EQ(h.dialogs.shown[0].title, u"错误信息"_s);
        EXPECT_FALSE(form.isVisible());
    }
}

} // namespace
