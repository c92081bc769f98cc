// net.exe conformance: NET USER and NET LOCALGROUP as the Chinese edition answers them.

#include "emulation/AccountStore.h"
#include "emulation/Database.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using testing_support::run;

namespace {

class NetTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    platform::CommandResult cmd(const QString& line) { return run(m.machine(), u"cmd.exe /c "_s + line); }
    QStringList groupsOf(const QString& name) {
        QStringList out;
        for (const auto& g : m->accounts().groupsOf(m->accounts().lookup(name)->sid))
            out << g.name;
        return out;
    }
};

TEST_F(NetTest, UserAddAsTheProgramIssuesIt) {
    auto r = cmd(u"net user shop S3cret! /add /fullname:\"Internet 来宾和FTP帐户\" "
                 "/comment:\"Velmora创建匿名访问 Internet 信息服务的帐户\"  /passwordchg:no"_s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, u"命令成功完成。\r\n"_s);
    const auto user = m->accounts().lookup(u"SHOP"_s);
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->fullName, u"Internet 来宾和FTP帐户"_s);
    EXPECT_EQ(user->comment, u"Velmora创建匿名访问 Internet 信息服务的帐户"_s);
    EXPECT_TRUE(user->flags & platform::userflags::PasswdCantChange);
    EXPECT_FALSE(user->flags & platform::userflags::DontExpirePasswd);
    EXPECT_EQ(groupsOf(u"shop"_s), QStringList{u"Users"_s}) << "a new user joins Users";
    EXPECT_TRUE(m->accounts().checkPassword(u"shop"_s, u"S3cret!"_s));
    auto shown = cmd(u"net user shop"_s);
    EXPECT_TRUE(shown.output.contains(u"用户可以更改密码             No"_s)) << shown.output.toStdString();
    EXPECT_TRUE(shown.output.contains(u"本地组成员                   *Users"_s));
}

TEST_F(NetTest, PasswordsAreStoredOnlyAsSaltedHashes) {
    cmd(u"net user a pw1 /add"_s);
    cmd(u"net user b pw1 /add"_s);
    auto st = m->db().prepare("SELECT salt, hash FROM principals WHERE name IN ('a', 'b') ORDER BY name");
    ASSERT_TRUE(st.step());
    const QString hashA = st.text(1);
    ASSERT_TRUE(st.step());
    EXPECT_NE(hashA, st.text(1)) << "same password, other salt";
    EXPECT_FALSE(hashA.contains(u"pw1"_s));
    cmd(u"net user a pw2"_s);
    EXPECT_FALSE(m->accounts().checkPassword(u"a"_s, u"pw1"_s));
    EXPECT_TRUE(m->accounts().checkPassword(u"a"_s, u"pw2"_s));
}

TEST_F(NetTest, UserErrors) {
    cmd(u"net user a b /add"_s);
    auto exists = cmd(u"net user A c /add"_s);
    EXPECT_EQ(exists.exitCode, 2);
    EXPECT_EQ(exists.output, u"帐户已存在。\r\n\r\n请键入 NET HELPMSG 2224 以获得更多的帮助。\r\n"_s);
    auto missing = cmd(u"net user nobody"_s);
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.output.startsWith(u"找不到用户名。"_s));
    EXPECT_EQ(cmd(u"net user nobody x"_s).exitCode, 2) << "changing a missing account's password";
    for (const auto* bad :
         {u"a/b", u"x[1]", u"p|q", u"a=b", u"abcdefghijklmnopqrstu", u"...", u"s;t", u"a+b"}) {
        auto r = cmd(u"net user \""_s + QString::fromUtf16(bad) + u"\" pw /add"_s);
        EXPECT_EQ(r.exitCode, 2) << QString::fromUtf16(bad).toStdString();
        EXPECT_TRUE(r.output.startsWith(u"用户名或组名参数无效。"_s)) << r.output.toStdString();
    }
    EXPECT_TRUE(m->accounts().lookup(u"abcdefghijklmnopqrst"_s) == std::nullopt);
    auto unknownOption = cmd(u"net user z pw /add /colour:red"_s);
    EXPECT_EQ(unknownOption.exitCode, 1);
    EXPECT_TRUE(unknownOption.output.startsWith(u"选项 /COLOUR:RED 未知。"_s));
    EXPECT_FALSE(m->accounts().lookup(u"z"_s).has_value());
}

TEST_F(NetTest, UserDelete) {
    cmd(u"net user gone pw /add"_s);
    cmd(u"net localgroup Guests gone /add"_s);
    EXPECT_EQ(cmd(u"net user gone /delete"_s).exitCode, 0);
    EXPECT_FALSE(m->accounts().lookup(u"gone"_s).has_value());
    EXPECT_EQ(cmd(u"net user gone /delete"_s).exitCode, 2);
    EXPECT_EQ(cmd(u"net user Administrator /delete"_s).exitCode, 2) << "the built-in account stays";
}

TEST_F(NetTest, LocalgroupAsTheProgramUsesIt) {
    auto made = cmd(u"net localgroup velmorausers /add  /comment:\"虚拟主机用户组,网站和FTP账户组\""_s);
    EXPECT_EQ(made.exitCode, 0);
    EXPECT_EQ(m->accounts().lookup(u"velmorausers"_s)->comment, u"虚拟主机用户组,网站和FTP账户组"_s);
    auto again = cmd(u"net localgroup velmorausers /add"_s);
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_EQ(again.output, u"发生系统错误 1379。\r\n\r\n指定的本地组已存在。\r\n"_s);

    cmd(u"net user shop pw /add"_s);
    EXPECT_EQ(cmd(u"net localgroup Users shop /delete"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"net localgroup velmorausers shop /add"_s).exitCode, 0);
    EXPECT_EQ(groupsOf(u"shop"_s), QStringList{u"velmorausers"_s});
    EXPECT_TRUE(cmd(u"net localgroup velmorausers"_s).output.contains(u"\r\nshop\r\n"_s));

    EXPECT_EQ(cmd(u"net localgroup velmorausers shop /add"_s).output,
              u"发生系统错误 1378。\r\n\r\n指定的帐户名已是此组的成员。\r\n"_s);
    EXPECT_EQ(cmd(u"net localgroup Users shop /delete"_s).output,
              u"发生系统错误 1377。\r\n\r\n指定的帐户名不是本地组的成员。\r\n"_s);
    EXPECT_EQ(cmd(u"net localgroup nogroup shop /add"_s).output,
              u"发生系统错误 1376。\r\n\r\n指定的本地组不存在。\r\n"_s);
    EXPECT_EQ(cmd(u"net localgroup Users nobody /add"_s).output,
              u"发生系统错误 1332。\r\n\r\n帐户名与安全标识间无任何映射完成。\r\n"_s);
}

TEST_F(NetTest, FreshMachineAccountsAndGroups) {
    auto names = m->accounts().Win32UserAccountNames();
    ASSERT_TRUE(names.ok());
    for (const auto* n : {u"Administrator", u"Guest", u"IUSR_VELMORA", u"IWAM_VELMORA"})
        EXPECT_TRUE(names.value().contains(QString::fromUtf16(n))) << QString::fromUtf16(n).toStdString();
    EXPECT_FALSE(names.value().contains(u"Users"_s)) << "groups are not user accounts";
    EXPECT_EQ(groupsOf(u"IUSR_VELMORA"_s), QStringList{u"Guests"_s});
    EXPECT_TRUE(groupsOf(u"IWAM_VELMORA"_s).contains(u"IIS_WPG"_s));
    EXPECT_TRUE(m->accounts().checkPassword(u"IUSR_VELMORA"_s, u"Qv7#mT2p!Lx9rB4e"_s))
        << "the anonymous account's password is the one the metabase holds";
    auto list = cmd(u"net localgroup"_s);
    EXPECT_TRUE(list.output.contains(u"*IIS_WPG"_s));
    EXPECT_TRUE(list.output.contains(u"*Power Users"_s));
}

TEST_F(NetTest, WinNtUserFlagsAndNetUserDel) {
    cmd(u"net user shop pw /add /passwordchg:no"_s);
    auto& accounts = m->accounts();
    const std::uint32_t flags = accounts.UserFlags(u"shop"_s).value();
    EXPECT_EQ(flags, platform::userflags::NormalAccount | platform::userflags::PasswdCantChange);
    ASSERT_TRUE(accounts.PutUserFlags(u"shop"_s, flags ^ platform::userflags::DontExpirePasswd).ok());
    EXPECT_TRUE(cmd(u"net user shop"_s).output.contains(u"密码到期                     从不"_s));
    EXPECT_FALSE(accounts.UserFlags(u"nobody"_s).ok());
    EXPECT_EQ(accounts.NetUserDel(u"shop"_s), 0u);
    EXPECT_EQ(accounts.NetUserDel(u"shop"_s), emulation::nerr::UserNotFound);
}

} // namespace
