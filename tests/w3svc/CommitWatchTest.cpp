// The web service notices another process's commits through the WAL index without asking SQLite.

#include "emulation/w3svc/CommitWatch.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

TEST(CommitWatch, EveryCommitOfAnyConnectionChangesTheStamp) {
    testing_support::TempMachine m;
    m->fact(u"name"_s); // the machine's connection has read: its WAL index is there
    w3svc::CommitWatch watch(m.folder() + u"/machine.db"_s);
    const std::uint64_t before = watch.stamp();
    ASSERT_NE(before, 0u) << "the WAL index can be read";
    EXPECT_EQ(watch.stamp(), before) << "reading commits nothing";
    m->fact(u"build"_s);
    EXPECT_EQ(watch.stamp(), before);

    auto other = m.reopen(); // another process's connection
    other->setFact(u"date"_s, u"2024-01-05"_s);
    const std::uint64_t afterOther = watch.stamp();
    EXPECT_NE(afterOther, before);
    m->setFact(u"date"_s, u"2024-01-06"_s);
    EXPECT_NE(watch.stamp(), afterOther) << "this connection's own commit too";
}

TEST(CommitWatch, WithoutAWalIndexEveryLookCountsAsAChange) {
    w3svc::CommitWatch watch(u"/nonexistent/machine.db"_s);
    EXPECT_EQ(watch.stamp(), 0u);
}
