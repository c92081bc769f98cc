// Several connections to one machine (as the window, velmora-machine and the web service are)
// changing the same account or the same access-control list at once lose none of the changes.

#include "emulation/AccountStore.h"
#include "emulation/Database.h"
#include "emulation/FileSystem.h"
#include "emulation/Machine.h"
#include "tests/support/TempMachine.h"

#include <QDir>

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(Concurrency, FlagChangesOfTwoConnectionsAreAllKept) {
    testing_support::TempMachine m;
    ASSERT_EQ(m->accounts().addUser(u"shared"_s, u"pw"_s, {}, {}, 0), emulation::nerr::Success);
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
        ASSERT_EQ(m->accounts().addUser(u"u%1"_s.arg(i), u"pw"_s, {}, {}, 0), emulation::nerr::Success);
    const auto folder = emulation::WinPath::parse(u"D:\\shared"_s);
    ASSERT_TRUE(QDir().mkpath(m->files().hostPath(folder)));
    auto grant = [&](int first) {
        auto connection = m.reopen();
        for (int i = first; i < first + 100; ++i) {
            const QString sid = connection->accounts().lookup(u"u%1"_s.arg(i))->sid;
            ASSERT_TRUE(connection->files().editExplicitAces(folder, [&](std::vector<emulation::Ace>& aces) {
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
    ASSERT_EQ(m->accounts().addGroup(u"team"_s, {}), emulation::nerr::Success);
    ASSERT_EQ(m->accounts().addUser(u"member"_s, u"pw"_s, {}, {}, 0), emulation::nerr::Success);
    const auto folder = emulation::WinPath::parse(u"D:\\locked"_s);
    ASSERT_TRUE(QDir().mkpath(m->files().hostPath(folder)));
    const std::uint32_t flags = m->accounts().UserFlags(u"member"_s).value();
    auto other = m.reopen();
    ASSERT_TRUE(other->db().exec("BEGIN IMMEDIATE"));
    m->db().setBusyTimeout(20);
    EXPECT_EQ(m->accounts().addMember(u"team"_s, u"member"_s), emulation::nerr::Busy);
    EXPECT_EQ(m->accounts().setPassword(u"member"_s, u"new"_s), emulation::nerr::Busy);
    EXPECT_FALSE(m->accounts().changeUserFlags(u"member"_s, 0x2, 0).ok());
    EXPECT_FALSE(m->accounts().PutUserFlags(u"member"_s, 0x2).ok());
    EXPECT_EQ(m->accounts().NetUserDel(u"member"_s), emulation::nerr::Busy);
    bool edited = false;
    EXPECT_FALSE(m->files().editExplicitAces(folder, [&](std::vector<emulation::Ace>& aces) {
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

} // namespace
