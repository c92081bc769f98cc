// Several connections to one machine (as the window, velmora-machine and the web service are)
// changing the same account or the same access-control list at once lose none of the changes.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <QDir>

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(Concurrency, FlagChangesOfTwoConnectionsAreAllKept) {
    testing_support::TempMachine m;
    ASSERT_EQ(m->accounts().addUser(u"shared"_s, u"pw"_s, {}, {}, 0), emulation::accounts::nerr::Success);
    const std::uint32_t before = m->accounts().UserFlags(u"shared"_s).value();
    auto changeBits = [&](std::uint32_t first) {
        auto connection = m.reopen();
        // Each bit of its own range is set, the range cleared, and set again bit by bit.
        for (int round = 0; round < 5; ++round) {
            for (int bit = 0; bit < 8; ++bit)
                ASSERT_TRUE(connection->accounts().changeUserFlags(u"shared"_s, first << bit, 0).ok());
            if (round < 4) {
                ASSERT_TRUE(connection->accounts().changeUserFlags(u"shared"_s, 0, first * 0xFFu).ok());
            }
        }
    };
    std::thread a(changeBits, 0x100u);
    std::thread b(changeBits, 0x1000000u);
    a.join();
    b.join();
    EXPECT_EQ(m->accounts().UserFlags(u"shared"_s).value(), before | 0xFF00u | 0xFF000000u);
}

TEST(Concurrency, AclEditsOfTwoConnectionsAreAllKept) {
    testing_support::TempMachine m;
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(m->accounts().addUser(u"u%1"_s.arg(i), u"pw"_s, {}, {}, 0),
                  emulation::accounts::nerr::Success);
    const auto folder = emulation::files::WinPath::parse(u"D:\\shared"_s);
    ASSERT_TRUE(QDir().mkpath(m->files().hostPath(folder)));
    auto grant = [&](int first) {
        auto connection = m.reopen();
        for (int i = first; i < first + 100; ++i) {
            const QString sid = connection->accounts().lookup(u"u%1"_s.arg(i))->sid;
            ASSERT_TRUE(connection->files().editExplicitAces(
                folder, [&](std::vector<emulation::accounts::Ace>& aces) {
                    aces.push_back({false, sid, 0x1200A9u, 3u});
                }));
        }
    };
    std::thread a(grant, 0);
    std::thread b(grant, 100);
    a.join();
    b.join();
    EXPECT_EQ(m->files().explicitAces(folder).size(), 200u);
}

// A change that cannot get the database because another process holds it too long fails as
// such, and nothing of it is stored afterwards.
TEST(Concurrency, ChangesThatFindTheDatabaseLockedFailAndStoreNothing) {
    testing_support::TempMachine m;
    ASSERT_EQ(m->accounts().addGroup(u"team"_s, {}), emulation::accounts::nerr::Success);
    ASSERT_EQ(m->accounts().addUser(u"member"_s, u"pw"_s, {}, {}, 0), emulation::accounts::nerr::Success);
    const auto folder = emulation::files::WinPath::parse(u"D:\\locked"_s);
    ASSERT_TRUE(QDir().mkpath(m->files().hostPath(folder)));
    const std::uint32_t flags = m->accounts().UserFlags(u"member"_s).value();
    auto other = m.reopen();
    ASSERT_TRUE(other->db().exec("BEGIN IMMEDIATE"));
    m->db().setBusyTimeout(20);
    EXPECT_EQ(m->accounts().addMember(u"team"_s, u"member"_s), emulation::accounts::nerr::Busy);
    EXPECT_EQ(m->accounts().setPassword(u"member"_s, u"new"_s), emulation::accounts::nerr::Busy);
    EXPECT_FALSE(m->accounts().changeUserFlags(u"member"_s, 0x2, 0).ok());
    EXPECT_FALSE(m->accounts().PutUserFlags(u"member"_s, 0x2).ok());
    EXPECT_EQ(m->accounts().NetUserDel(u"member"_s), emulation::accounts::nerr::Busy);
    bool edited = false;
    EXPECT_FALSE(m->files().editExplicitAces(folder, [&](std::vector<emulation::accounts::Ace>& aces) {
        edited = true;
        aces.push_back({false, u"S-1-1-0"_s, 0x1200A9u, 3u});
    }));
    EXPECT_FALSE(edited) << "nothing is read while the list cannot be written";
    ASSERT_TRUE(other->db().exec("COMMIT"));
    EXPECT_TRUE(m->accounts().membersOf(m->accounts().lookup(u"team"_s)->sid).isEmpty());
    EXPECT_TRUE(m->accounts().checkPassword(u"member"_s, u"pw"_s));
    EXPECT_EQ(m->accounts().UserFlags(u"member"_s).value(), flags);
    EXPECT_TRUE(m->files().explicitAces(folder).empty());
}

// icacls and cacls that cannot store a list because the database stays locked say so as Windows
// says of an object in use, exit with its code and change nothing, also with /T over a tree.
TEST(Concurrency, AclProgramsReportALockedDatabaseAsAFailure) {
    testing_support::TempMachine m;
    ASSERT_EQ(m->accounts().addUser(u"member"_s, u"pw"_s, {}, {}, 0), emulation::accounts::nerr::Success);
    ASSERT_TRUE(QDir().mkpath(m->files().hostPath(emulation::files::WinPath::parse(u"D:\\locked\\sub"_s))));
    auto other = m.reopen();
    ASSERT_TRUE(other->db().exec("BEGIN IMMEDIATE"));
    m->db().setBusyTimeout(20);

    auto icacls =
        testing_support::run(m.machine(), u"cmd.exe /c icacls D:\\locked /grant member:(OI)(CI)(F) /T"_s);
    EXPECT_EQ(icacls.exitCode, 32);
    EXPECT_TRUE(icacls.output.contains(u"D:\\locked: 另一个程序正在使用此文件，进程无法访问。"_s))
        << icacls.output.toStdString();
    EXPECT_TRUE(icacls.output.contains(u"已成功处理 0 个文件; 处理 1 个文件时失败"_s))
        << icacls.output.toStdString();
    EXPECT_FALSE(icacls.output.contains(u"已处理的文件"_s));

    auto withC = testing_support::run(m.machine(), u"cmd.exe /c icacls D:\\locked /grant member:(F) /T /C"_s);
    EXPECT_EQ(withC.exitCode, 32);
    EXPECT_TRUE(withC.output.contains(u"已成功处理 0 个文件; 处理 2 个文件时失败"_s))
        << withC.output.toStdString();

    auto cacls = testing_support::run(m.machine(), u"cmd.exe /c cacls D:\\locked /E /G member:F"_s);
    EXPECT_EQ(cacls.exitCode, 32);
    EXPECT_TRUE(cacls.output.contains(u"另一个程序正在使用此文件，进程无法访问。"_s))
        << cacls.output.toStdString();
    EXPECT_FALSE(cacls.output.contains(u"处理的目录"_s));

    ASSERT_TRUE(other->db().exec("COMMIT"));
    EXPECT_TRUE(m->files().explicitAces(emulation::files::WinPath::parse(u"D:\\locked"_s)).empty());
    EXPECT_FALSE(m->files().isProtected(emulation::files::WinPath::parse(u"D:\\locked"_s)));
    // Once the lock is gone the same line works.
    EXPECT_EQ(testing_support::run(m.machine(), u"cmd.exe /c cacls D:\\locked /E /G member:F"_s).exitCode, 0);
}

// "net user" switches that change an account find the database locked: system error 170, and
// neither the flags nor the names change; once free, every switch is applied in one change.
TEST(Concurrency, NetUserSwitchesOnALockedDatabaseFailAndChangeNothing) {
    testing_support::TempMachine m;
    ASSERT_EQ(m->accounts().addUser(u"member"_s, u"pw"_s, u"Old"_s, {}, 0),
              emulation::accounts::nerr::Success);
    const std::uint32_t flags = m->accounts().UserFlags(u"member"_s).value();
    auto other = m.reopen();
    ASSERT_TRUE(other->db().exec("BEGIN IMMEDIATE"));
    m->db().setBusyTimeout(20);
    const auto refused = testing_support::run(
        m.machine(), u"cmd.exe /c net user member /active:no /fullname:New /passwordchg:no"_s);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_TRUE(refused.output.contains(u"170"_s)) << refused.output.toStdString();
    EXPECT_FALSE(refused.output.contains(u"命令成功完成"_s)) << refused.output.toStdString();
    ASSERT_TRUE(other->db().exec("COMMIT"));
    EXPECT_EQ(m->accounts().UserFlags(u"member"_s).value(), flags);
    EXPECT_EQ(m->accounts().lookup(u"member"_s)->fullName, u"Old"_s);

    // Another connection sets a bit of its own meanwhile; net's change keeps it.
    ASSERT_TRUE(other->accounts().changeUserFlags(u"member"_s, 0x10000u, 0).ok()); // DONT_EXPIRE_PASSWD
    EXPECT_EQ(testing_support::run(m.machine(), u"cmd.exe /c net user member /active:no /passwordchg:no"_s)
                  .exitCode,
              0);
    EXPECT_EQ(m->accounts().UserFlags(u"member"_s).value(), flags | 0x10000u | 0x2u | 0x40u);
}

} // namespace
