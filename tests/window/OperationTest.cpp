// Whether a step of an operation did its job is read from the machine: real commands on a
// temporary machine through the window's RunHidden.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "tests/support/FormHarness.h"
#include "window/CommandEffect.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using window::CommandEffect;
using Kind = window::CommandEffect::Kind;

namespace {

class StepResultTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* form = nullptr;

    void SetUp() override {
        form = &h.build();
        form->operation.emplace();
    }
    QStringList failures() const { return form->operation->failures(); }
    bool isMember(const QString& group, const QString& account) {
        return h.machine->accounts().IsMember(group, account).valueOr(false);
    }
};

TEST_F(StepResultTest, AFolderMadeOrAlreadyThereIsAchieved) {
    const QString line = u"cmd.exe /c MkDir D:\\WebRoot\\shop\\web"_s;
    EXPECT_EQ(form->RunHidden(line)->exitCode, 0);
    EXPECT_TRUE(h.machine->files().IsFolder(u"D:\\WebRoot\\shop\\web"_s));
    EXPECT_EQ(form->RunHidden(line)->exitCode, 1) << "Windows reports the folder as existing";
    EXPECT_EQ(failures(), QStringList()) << "the folder is there, as it was meant to be";
}

TEST_F(StepResultTest, AFileInTheWayOfAFolderIsAFailure) {
    h.machine.writeFile(u"D:\\WebRoot\\shop\\web"_s, "not a folder");
    const QString line = u"cmd.exe /c MkDir D:\\WebRoot\\shop\\web"_s;
    form->RunHidden(line);
    EXPECT_EQ(failures(), QStringList{line + u"：D:\\WebRoot\\shop\\web 是文件，不是文件夹"_s});
}

TEST_F(StepResultTest, AnAccountAddedTwiceFailsTheSecondTime) {
    const QString add =
        u"cmd.exe /c net user shop Pw1x /add /fullname:\"Internet 来宾和FTP帐户\"  /passwordchg:no"_s;
    form->RunHidden(add);
    EXPECT_EQ(failures(), QStringList()) << "made by this command";
    const QString again = u"cmd.exe /c net user shop Other2 /add"_s;
    form->RunHidden(again);
    ASSERT_EQ(failures().size(), 1);
    EXPECT_TRUE(failures()[0].startsWith(again + u"：退出代码 2"_s)) << failures()[0].toStdString();
    EXPECT_TRUE(h.machine->accounts().checkPassword(u"shop"_s, u"Pw1x"_s)) << "the first password stays";
}

TEST_F(StepResultTest, AMemberAddedTwiceAndRemovedTwiceIsAchieved) {
    form->RunHidden(u"cmd.exe /c net user shop Pw1x /add"_s);
    form->RunHidden(u"cmd.exe /c net localgroup velmorausers /add  /comment:\"虚拟主机用户组\""_s);
    for (int i = 0; i < 2; ++i)
        form->RunHidden(u"cmd.exe /c net localgroup velmorausers shop /add"_s);
    EXPECT_TRUE(isMember(u"velmorausers"_s, u"shop"_s));
    for (int i = 0; i < 2; ++i)
        form->RunHidden(u"cmd.exe /c net localgroup Users shop /delete"_s);
    EXPECT_FALSE(isMember(u"Users"_s, u"shop"_s));
    EXPECT_EQ(failures(), QStringList());
}

TEST_F(StepResultTest, AMemberThatCannotJoinIsAFailure) {
    const QString line = u"cmd.exe /c net localgroup Users ghost /add"_s;
    form->RunHidden(line);
    EXPECT_EQ(failures(), QStringList{line + u"：ghost 不是组 Users 的成员"_s});
}

TEST_F(StepResultTest, AnAccountDeletedTwiceIsGoneBothTimes) {
    form->RunHidden(u"cmd.exe /c net user shop Pw1x /add"_s);
    for (int i = 0; i < 2; ++i)
        form->RunHidden(u"cmd.exe /c net user shop /delete"_s);
    EXPECT_FALSE(h.machine->accounts().Exists(u"shop"_s).valueOr(true));
    EXPECT_EQ(failures(), QStringList());
    // A built-in account that Windows keeps is still there: a failure.
    const QString line = u"cmd.exe /c net user Administrator /delete"_s;
    form->RunHidden(line);
    EXPECT_EQ(failures(), QStringList{line + u"：帐户 Administrator 仍然存在"_s});
}

TEST_F(StepResultTest, CommandsWithNothingToLookAtGoByTheirExitStatus) {
    const QString missing = u"cmd.exe /c cacls \"D:\\NoSuchFolder\" /t /e /r users"_s;
    form->RunHidden(missing);
    form->RunHidden(u"cmd.exe /c net user Guest NewPass9"_s);
    ASSERT_EQ(failures().size(), 1);
    EXPECT_TRUE(failures()[0].startsWith(missing + u"：退出代码 "_s)) << failures()[0].toStdString();
}

// A runner that cannot start the interpreter and gives no text for it.
class UnstartableRunner final : public platform::CommandRunner {
public:
    platform::Outcome<platform::CommandResult> RunHidden(const QString&) override {
        return platform::Error{0x80070002, QString()};
    }
};

TEST_F(StepResultTest, AnInterpreterThatCannotStartIsRecordedWithoutThrowing) {
    UnstartableRunner runner;
    form->services.commands = &runner;
    const QString line = u"cmd.exe /c MkDir D:\\WebRoot\\shop"_s;
    EXPECT_FALSE(form->RunHidden(line).ok());
    EXPECT_EQ(failures(), QStringList{line + u"：命令未能启动 (0x80070002)"_s});
}

TEST_F(StepResultTest, WithoutAnOperationNothingIsRecorded) {
    form->operation.reset();
    EXPECT_EQ(form->RunHidden(u"cmd.exe /c cacls \"D:\\NoSuchFolder\" /t /e /r users"_s)->exitCode, 2);
    EXPECT_FALSE(form->operation.has_value());
}

TEST(IntendedEffect, IsReadFromTheCommandTextAlone) {
    const auto folders = window::IntendedEffect(u"cmd.exe /c MkDir D:\\a,\"D:\\b c\""_s);
    EXPECT_EQ(folders.kind, Kind::Folders);
    EXPECT_EQ(folders.names, (QStringList{u"D:\\a"_s, u"D:\\b c"_s}));
    const auto members = window::IntendedEffect(u"cmd.exe /c net localgroup velmorausers a b /add"_s);
    EXPECT_EQ(members.kind, Kind::Members);
    EXPECT_EQ(members.group, u"velmorausers"_s);
    EXPECT_EQ(members.names, (QStringList{u"a"_s, u"b"_s}));
    EXPECT_EQ(window::IntendedEffect(u"cmd.exe /c net localgroup velmorausers /add  /comment:\"x y\""_s).kind,
              Kind::GroupExists);
    EXPECT_EQ(window::IntendedEffect(u"cmd.exe /c NET USER a /DELETE"_s).kind, Kind::AccountGone);
    // Anything cmd.exe would rework first, and relative folders, go by the exit status.
    for (const char16_t* line :
         {u"cmd.exe /c MkDir D:\\a & MkDir D:\\b", u"cmd.exe /c MkDir %SystemDrive%\\a",
          u"cmd.exe /c MkDir logs", u"cmd.exe /c net user a b", u"cmd.exe /c net user a /add /delete",
          u"cmd.exe /c iisreset.exe"})
        EXPECT_EQ(window::IntendedEffect(QString::fromUtf16(line)).kind, Kind::ExitStatus)
            << QString::fromUtf16(line).toStdString();
}

TEST(Operation, EachFailureIsOneLineWithTheStepAndWhy) {
    window::Operation op;
    EXPECT_FALSE(op.failed());
    op.command(u"cmd.exe /c iisreset.exe"_s, u"退出代码 1"_s);
    op.step(u"SetInfo IIS://LocalHost/W3SVC/10000"_s,
            platform::Error{0x80070003, u"系统找不到指定的路径。"_s});
    EXPECT_TRUE(op.failed());
    EXPECT_EQ(op.failures(),
              (QStringList{u"cmd.exe /c iisreset.exe：退出代码 1"_s,
                           u"SetInfo IIS://LocalHost/W3SVC/10000：系统找不到指定的路径。 (0x80070003)"_s}));
}

} // namespace
