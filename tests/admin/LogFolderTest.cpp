// The log-folder menu on the real window over a real machine: central binary logging into
// "<chosen>\iislog", the folder made, IIS restarted, the settings written; a failure to store the
// logging properties stops everything.

#include "emulation/metabase/MetabaseStore.h"
#include "settings/ReadIniValue.h"
#include "tests/support/CommandLines.h"
#include "tests/support/FormHarness.h"

#include <QAction>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

class LogFolderTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* form = nullptr;

    void SetUp() override { form = &h.start(); }

    QString setting(const QString& section, const QString& key) {
        QString value;
        h.machine.profiles().GetPrivateProfileString(section, key, QString(), value, 255,
                                                     settings::SettingsFile);
        return value;
    }
    platform::MetaValue w3svc(const QString& property) {
        auto value = h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Get(property);
        EXPECT_TRUE(value.ok()) << property.toStdString();
        return value ? value.value() : platform::MetaValue();
    }
    QStringList logCommands() const {
        QStringList lines = h.journal();
        lines.removeIf(
            [](const QString& l) { return !l.contains(u"MkDir"_s) && !l.contains(u"iisreset"_s); });
        return lines;
    }
    // Chooses a folder in the dialog and clicks the menu item.
    void choose(const QString& folder) {
        h.dialogs.folder(folder);
        h.dialogs.shown.clear();
        form->Menu_file_log->trigger();
    }
};

TEST_F(LogFolderTest, TheDriveRootGivesIislogOnIt) {
    const std::size_t waitsBefore = h.clock.waits().size();
    choose(u"D:\\"_s);

    EXPECT_EQ(h.dialogs.browsed.back(), u"浏览目录"_s);
    EXPECT_TRUE(w3svc(u"CentralBinaryLoggingEnabled"_s).toBool());
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"D:\\iislog"_s);
    EXPECT_EQ(logCommands(),
              (QStringList{u"cmd.exe /c MkDir \"D:\\iislog\""_s, u"cmd.exe /c iisreset.exe"_s}));
    EXPECT_TRUE(QDir(h.machine->hostPath(u"D:\\iislog"_s)).exists());
    EXPECT_EQ(std::vector<int>(h.clock.waits().begin() + static_cast<std::ptrdiff_t>(waitsBefore),
                               h.clock.waits().end()),
              std::vector<int>{20});
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"日志目录设置完成，请不要随意修改！"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, platform::msgbox::Information);
    EXPECT_EQ(h.dialogs.shown[0].title, u"提醒"_s);
    EXPECT_EQ(form->state.LogFolder, u"D:\\iislog"_s);
    EXPECT_EQ(form->state.LogConfigured, u"True"_s);
    EXPECT_EQ(setting(u"LOGSET"_s, u"format"_s), u"TRUE"_s);
    EXPECT_EQ(setting(u"HomePath"_s, u"LogPath"_s), u"D:\\iislog"_s);
}

TEST_F(LogFolderTest, AFolderGetsIislogInsideItNotBesideIt) {
    choose(u"D:\\Logs"_s);
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"D:\\Logs\\iislog"_s);
    EXPECT_EQ(setting(u"HomePath"_s, u"LogPath"_s), u"D:\\Logs\\iislog"_s);
    EXPECT_TRUE(QDir(h.machine->hostPath(u"D:\\Logs\\iislog"_s)).exists());
    EXPECT_FALSE(QDir(h.machine->hostPath(u"D:\\Logsiislog"_s)).exists());
}

TEST_F(LogFolderTest, AFolderWithABlankIsMadeWhole) {
    choose(u"D:\\My Logs"_s);
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"D:\\My Logs\\iislog"_s);
    EXPECT_EQ(setting(u"HomePath"_s, u"LogPath"_s), u"D:\\My Logs\\iislog"_s);
    EXPECT_EQ(logCommands().first(), u"cmd.exe /c MkDir \"D:\\My Logs\\iislog\""_s);
    EXPECT_TRUE(QDir(h.machine->hostPath(u"D:\\My Logs\\iislog"_s)).exists());
    EXPECT_FALSE(QDir(h.machine->hostPath(u"D:\\My"_s)).exists()) << "the blank did not split the path";
    EXPECT_EQ(h.dialogs.shown.at(0).prompt, u"日志目录设置完成，请不要随意修改！"_s);
}

TEST_F(LogFolderTest, ChoosingTwiceTakesTheNewChoiceEachTime) {
    choose(u"D:\\A"_s);
    choose(u"D:\\A"_s); // the folder exists now: MkDir finds it there, which is no failure
    EXPECT_EQ(h.dialogs.shown.at(0).prompt, u"日志目录设置完成，请不要随意修改！"_s);
    choose(u"D:\\B"_s);
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"D:\\B\\iislog"_s);
    EXPECT_EQ(form->state.LogFolder, u"D:\\B\\iislog"_s);
    EXPECT_EQ(setting(u"HomePath"_s, u"LogPath"_s), u"D:\\B\\iislog"_s);
    EXPECT_EQ(logCommands().size(), 6);
}

TEST_F(LogFolderTest, CancellingChangesNothing) {
    const QByteArray settingsBefore = h.settingsFile();
    const QString folderBefore = form->state.LogFolder;
    const int commandsBefore = static_cast<int>(h.journal().size());
    choose(QString());
    EXPECT_FALSE(w3svc(u"CentralBinaryLoggingEnabled"_s).toBool());
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"C:\\WINDOWS\\system32\\LogFiles"_s);
    EXPECT_EQ(h.settingsFile(), settingsBefore);
    EXPECT_EQ(form->state.LogFolder, folderBefore);
    EXPECT_EQ(h.journal().size(), commandsBefore);
    EXPECT_TRUE(h.dialogs.shown.empty());
}

TEST_F(LogFolderTest, APathTooLongForTheBrowserIsRefusedAndChangesNothing) {
    const QByteArray settingsBefore = h.settingsFile();
    const QString folderBefore = form->state.LogFolder;
    const int commandsBefore = static_cast<int>(h.journal().size());
    choose(u"D:\\"_s + QString(253, u'a')); // 256 characters: one more than the browser hands back

    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"路径太长！"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, platform::msgbox::Information);
    EXPECT_EQ(h.dialogs.shown[0].title, u"系统信息"_s);
    EXPECT_FALSE(w3svc(u"CentralBinaryLoggingEnabled"_s).toBool());
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"C:\\WINDOWS\\system32\\LogFiles"_s);
    EXPECT_EQ(h.settingsFile(), settingsBefore);
    EXPECT_EQ(form->state.LogFolder, folderBefore);
    EXPECT_EQ(h.journal().size(), commandsBefore);

    choose(u"D:\\"_s + QString(252, u'a')); // 255 characters are taken
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"D:\\"_s + QString(252, u'a') + u"\\iislog"_s);
}

TEST_F(LogFolderTest, AMetabaseFailureStopsBeforeAnyCommandOrSetting) {
    const QByteArray settingsBefore = h.settingsFile();
    const QString folderBefore = form->state.LogFolder;
    const int commandsBefore = static_cast<int>(h.journal().size());
    h.machine->setFact(u"service.w3svc"_s, u"stopped"_s);
    choose(u"D:\\"_s);

    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_TRUE(h.dialogs.shown[0].prompt.startsWith(u"日志目录设置失败："_s))
        << h.dialogs.shown[0].prompt.toStdString();
    EXPECT_GT(h.dialogs.shown[0].prompt.size(), u"日志目录设置失败："_s.size()) << "the error is named";
    EXPECT_EQ(h.dialogs.shown[0].style, platform::msgbox::Exclamation);
    EXPECT_EQ(h.dialogs.shown[0].title, u"错误"_s);
    EXPECT_EQ(h.journal().size(), commandsBefore);
    EXPECT_EQ(h.settingsFile(), settingsBefore);
    EXPECT_EQ(form->state.LogFolder, folderBefore);
    EXPECT_FALSE(QDir(h.machine->hostPath(u"D:\\iislog"_s)).exists());
    h.machine->setFact(u"service.w3svc"_s, u"running"_s);
    EXPECT_FALSE(w3svc(u"CentralBinaryLoggingEnabled"_s).toBool());
}

TEST_F(LogFolderTest, AFolderThatCannotBeMadeIsReportedNotAnnouncedAsDone) {
    choose(u"Q:\\Logs"_s); // no such drive on the machine
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    // What was done, then what failed with its reason: not "设置失败", since IIS logs there now.
    EXPECT_EQ(h.dialogs.shown[0].prompt,
              u"日志目录已改为 Q:\\Logs\\iislog，IIS 已启用集中二进制日志，设置已保存；但以下步骤失败：\n"
              u"cmd.exe /c MkDir \"Q:\\Logs\\iislog\"：系统找不到指定的驱动器。"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, platform::msgbox::Exclamation);
    EXPECT_EQ(h.dialogs.shown[0].title, u"警告"_s);
    EXPECT_TRUE(w3svc(u"CentralBinaryLoggingEnabled"_s).toBool());
    // The metabase already names the folder; the settings follow it, so that extraction looks where
    // IIS logs.
    EXPECT_EQ(w3svc(u"LogFileDirectory"_s).toString(), u"Q:\\Logs\\iislog"_s);
    EXPECT_EQ(setting(u"HomePath"_s, u"LogPath"_s), u"Q:\\Logs\\iislog"_s);
}

TEST_F(LogFolderTest, AFailedRestartIsNamedBesideWhatWasDone) {
    // iisreset.exe gone from the machine: the folder is made, the restart cannot run.
    for (const QString& file :
         {u"C:\\WINDOWS\\system32\\iisreset.exe"_s, u"C:\\WINDOWS\\system32\\inetsrv\\iisreset.exe"_s})
        ASSERT_TRUE(QFile::remove(h.machine->hostPath(file)));
    choose(u"D:\\"_s);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    const QString prompt = h.dialogs.shown[0].prompt;
    EXPECT_TRUE(prompt.startsWith(
        u"日志目录已改为 D:\\iislog，IIS 已启用集中二进制日志，设置已保存；但以下步骤失败：\n"
        u"cmd.exe /c iisreset.exe："_s))
        << prompt.toStdString();
    EXPECT_FALSE(prompt.contains(u"MkDir"_s)) << "the folder was made";
    EXPECT_EQ(h.dialogs.shown[0].title, u"警告"_s);
    EXPECT_TRUE(QDir(h.machine->hostPath(u"D:\\iislog"_s)).exists());
    EXPECT_EQ(setting(u"LOGSET"_s, u"format"_s), u"TRUE"_s);
    EXPECT_EQ(setting(u"HomePath"_s, u"LogPath"_s), u"D:\\iislog"_s);
}

} // namespace
