// net.exe conformance: NET USER and NET LOCALGROUP as the Chinese edition answers them.

#include "emulation/accounts/AccountStore.h"
#include "emulation/machine/Database.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <QDate>

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
    EXPECT_EQ(accounts.NetUserDel(u"shop"_s), emulation::accounts::nerr::UserNotFound);
}

TEST_F(NetTest, UserSwitchesChangeTheAccount) {
    cmd(u"cmd.exe /c net user a b /add"_s);
    auto off = cmd(u"net user a /active:no"_s);
    EXPECT_EQ(off.exitCode, 0);
    EXPECT_EQ(off.output, u"命令成功完成。\r\n"_s);
    EXPECT_TRUE(m->accounts().UserFlags(u"a"_s).value() & platform::userflags::AccountDisable);
    auto shown = cmd(u"net user a"_s).output;
    EXPECT_TRUE(shown.contains(u"帐户启用                     No\r\n"_s)) << shown.toStdString();

    EXPECT_EQ(cmd(u"net user a /active:YES /fullname:\"张 三\" /comment:\"站点帐户\" /passwordreq:no "
                  "/passwordchg:no /expires:2027/1/31"_s)
                  .exitCode,
              0);
    const auto user = m->accounts().lookup(u"a"_s).value();
    EXPECT_EQ(user.fullName, u"张 三"_s);
    EXPECT_EQ(user.comment, u"站点帐户"_s);
    EXPECT_FALSE(user.flags & platform::userflags::AccountDisable);
    EXPECT_TRUE(user.flags & platform::userflags::PasswdCantChange);
    EXPECT_TRUE(user.flags & 0x20u) << "UF_PASSWD_NOTREQD";
    shown = cmd(u"net user a"_s).output;
    for (const auto* line :
         {u"全名                         张 三\r\n", u"注释                         站点帐户\r\n",
          u"帐户启用                     Yes\r\n", u"帐户到期                     2027-1-31 0:00:00\r\n",
          u"用户可以更改密码             No\r\n", u"需要密码                     No\r\n"})
        EXPECT_TRUE(shown.contains(QString::fromUtf16(line))) << QString::fromUtf16(line).toStdString();
    EXPECT_TRUE(m->accounts().checkPassword(u"a"_s, u"b"_s)) << "the password stays";

    EXPECT_EQ(cmd(u"net user a /expires:never /passwordchg:yes /passwordreq"_s).exitCode, 0);
    shown = cmd(u"net user a"_s).output;
    EXPECT_TRUE(shown.contains(u"帐户到期                     从不\r\n"_s));
    EXPECT_TRUE(shown.contains(u"用户可以更改密码             Yes\r\n"_s));
    EXPECT_TRUE(shown.contains(u"需要密码                     Yes\r\n"_s));
    EXPECT_EQ(cmd(u"net user a /expires:12/25/27"_s).exitCode, 0);
    EXPECT_EQ(m->accounts().expiryOf(user.sid), QDate(2027, 12, 25));

    // A new account takes its switches at once.
    EXPECT_EQ(cmd(u"net user off pw /add /active:no"_s).exitCode, 0);
    EXPECT_TRUE(m->accounts().UserFlags(u"off"_s).value() & platform::userflags::AccountDisable);
}

TEST_F(NetTest, UnsupportedSwitchesAndValuesFailAndChangeNothing) {
    cmd(u"net user a b /add"_s);
    const auto before = m->accounts().lookup(u"a"_s).value();
    for (const auto* line :
         {u"net user a /active:maybe", u"net user a /expires:someday", u"net user a /expires:2027/13/1",
          u"net user a /passwordchg:perhaps /fullname:x"}) {
        auto r = cmd(QString::fromUtf16(line));
        EXPECT_EQ(r.exitCode, 2) << QString::fromUtf16(line).toStdString();
        EXPECT_TRUE(r.output.contains(u"请键入 NET HELPMSG 3952"_s)) << r.output.toStdString();
    }
    for (const auto* line : {u"net user a /homedir:D:\\x", u"net user a /times:all",
                             u"net user a /usercomment:x", u"net user a /fullname:x /profilepath:y"}) {
        auto r = cmd(QString::fromUtf16(line));
        EXPECT_EQ(r.exitCode, 1) << QString::fromUtf16(line).toStdString();
        EXPECT_TRUE(r.output.startsWith(u"选项 /"_s)) << r.output.toStdString();
    }
    EXPECT_EQ(cmd(u"net user a b c"_s).exitCode, 1) << "three words";
    EXPECT_EQ(cmd(u"net user /active:no"_s).exitCode, 1) << "a switch with no account";
    EXPECT_EQ(cmd(u"net user a /domain"_s).output,
              u"发生系统错误 1355。\r\n\r\n指定的域不存在，或无法联系。\r\n"_s);
    EXPECT_EQ(cmd(u"net localgroup Users a /add /domain"_s).exitCode, 2);
    const auto after = m->accounts().lookup(u"a"_s).value();
    EXPECT_EQ(after.flags, before.flags);
    EXPECT_EQ(after.fullName, before.fullName);
    EXPECT_FALSE(m->accounts().expiryOf(after.sid).has_value());
}

TEST_F(NetTest, StarAsksForThePasswordAndAHiddenWindowCannotAnswer) {
    auto hidden = cmd(u"net user star * /add"_s);
    EXPECT_EQ(hidden.exitCode, 2);
    EXPECT_TRUE(hidden.output.startsWith(u"请键入用户的密码: "_s)) << hidden.output.toStdString();
    EXPECT_TRUE(hidden.output.contains(u"发生系统错误 6。"_s));
    EXPECT_FALSE(m->accounts().lookup(u"star"_s).has_value()) << "never an account with a literal *";

    // Through a pipe both questions get their answer.
    m.writeFile(u"D:\\pw.txt"_s, "Secr3t\r\nSecr3t\r\n");
    EXPECT_EQ(cmd(u"net user star * /add < D:\\pw.txt"_s).exitCode, 0);
    EXPECT_TRUE(m->accounts().checkPassword(u"star"_s, u"Secr3t"_s));
    EXPECT_FALSE(m->accounts().checkPassword(u"star"_s, u"*"_s));
    m.writeFile(u"D:\\mismatch.txt"_s, "one\r\ntwo\r\n");
    EXPECT_EQ(cmd(u"net user star * < D:\\mismatch.txt"_s).exitCode, 2);
    EXPECT_TRUE(m->accounts().checkPassword(u"star"_s, u"Secr3t"_s));
    EXPECT_EQ(cmd(u"net user nobody *"_s).output.left(7), u"找不到用户名。"_s);
}

TEST_F(NetTest, LocalgroupListsTheRealGroupsAndAddsMembersAllOrNothing) {
    cmd(u"net localgroup velmorausers /add"_s);
    const QString longName = QString(256, u'g');
    EXPECT_EQ(cmd(u"net localgroup "_s + longName + u" /add"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"net localgroup "_s + longName + u'g' + u" /add"_s).exitCode, 2);
    auto list = cmd(u"net localgroup"_s).output;
    QStringList shown;
    for (const QString& line : list.split(u"\r\n"_s))
        if (line.startsWith(u'*'))
            shown << line.mid(1);
    EXPECT_EQ(shown,
              (QStringList{u"Administrators"_s, u"Backup Operators"_s, longName, u"Guests"_s, u"IIS_WPG"_s,
                           u"Power Users"_s, u"Remote Desktop Users"_s, u"Users"_s, u"velmorausers"_s}));

    cmd(u"net user a pw /add"_s);
    cmd(u"net user b pw /add"_s);
    cmd(u"net localgroup velmorausers b /add"_s);
    // b is a member already: the whole list fails and a is not added either.
    auto partly = cmd(u"net localgroup velmorausers a b /add"_s);
    EXPECT_EQ(partly.exitCode, 2);
    EXPECT_FALSE(groupsOf(u"a"_s).contains(u"velmorausers"_s));
    EXPECT_EQ(cmd(u"net localgroup velmorausers a nobody /add"_s).exitCode, 2);
    EXPECT_FALSE(groupsOf(u"a"_s).contains(u"velmorausers"_s));
    EXPECT_EQ(cmd(u"net localgroup velmorausers a /add"_s).exitCode, 0);
    EXPECT_EQ(cmd(u"net localgroup velmorausers a b nobody /delete"_s).exitCode, 2);
    EXPECT_TRUE(groupsOf(u"a"_s).contains(u"velmorausers"_s));
    EXPECT_EQ(cmd(u"net localgroup velmorausers a b /delete"_s).exitCode, 0);
    EXPECT_FALSE(groupsOf(u"b"_s).contains(u"velmorausers"_s));

    EXPECT_EQ(cmd(u"net localgroup velmorausers /comment:\"新的说明\""_s).exitCode, 0);
    EXPECT_EQ(m->accounts().lookup(u"velmorausers"_s)->comment, u"新的说明"_s);
}

} // namespace
