// cacls is not inheritance-aware: an edited list is written back whole as the object's own.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(CaclsEdit, MakesInheritedEntriesExplicitAndStopsInheriting) {
    testing_support::TempMachine m;
    testing_support::run(m.machine(), u"cmd.exe /c MkDir D:\\Root\\site"_s);
    auto& files = m->files();
    const auto root = emulation::files::WinPath::parse(u"D:\\Root"_s);
    const auto site = emulation::files::WinPath::parse(u"D:\\Root\\site"_s);
    ASSERT_TRUE(files.explicitAces(root).empty());
    ASSERT_FALSE(files.isProtected(root));

    const auto r = testing_support::run(m.machine(), u"cmd.exe /c cacls D:\\Root /t /e /r users"_s);
    EXPECT_EQ(r.exitCode, 0);
    // Both objects of the tree now hold what they inherited, less Users, as their own entries.
    for (const auto& path : {root, site}) {
        EXPECT_TRUE(files.isProtected(path));
        for (const auto& ace : files.effectiveAces(path))
            EXPECT_FALSE(ace.flags & emulation::accounts::aceflags::Inherited);
    }
    EXPECT_TRUE(files.operatorRights(root) & emulation::accounts::rights::ReadData);
    const auto users = m->accounts().lookup(u"Users"_s);
    ASSERT_TRUE(users);
    for (const auto& ace : files.explicitAces(root))
        EXPECT_NE(ace.sid, users->sid);

    // A later change of the drive root no longer reaches them.
    testing_support::run(m.machine(), u"cmd.exe /c icacls D:\\ /grant Guest:(OI)(CI)(F)"_s);
    const auto guest = m->accounts().lookup(u"Guest"_s);
    EXPECT_EQ(files.rightsOf(guest->sid, root) & emulation::accounts::rights::WriteData, 0u);

    // With its own grants taken off, the operator may no longer list the folder.
    testing_support::run(m.machine(), u"cmd.exe /c icacls D:\\Root /remove:g administrators"_s);
    EXPECT_FALSE(files.operatorRights(root) & emulation::accounts::rights::ReadData);
    const auto listed = files.EntryExists(u"D:\\Root\\site"_s);
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().number, platform::hr::AccessDenied);
    // Granting the group again gives it back.
    testing_support::run(m.machine(), u"cmd.exe /c cacls D:\\Root /t /e /c /g administrators:F"_s);
    EXPECT_TRUE(files.EntryExists(u"D:\\Root\\site"_s).valueOr(false));
}

TEST(CaclsEdit, AProtectedListIsShownWithoutInheritedEntries) {
    testing_support::TempMachine m;
    testing_support::run(m.machine(), u"cmd.exe /c MkDir D:\\Root"_s);
    testing_support::run(m.machine(), u"cmd.exe /c cacls D:\\Root /e /r \"CREATOR OWNER\""_s);
    const QString shown = testing_support::run(m.machine(), u"cmd.exe /c icacls D:\\Root"_s).output;
    EXPECT_FALSE(shown.contains(u"(I)"_s)) << shown.toStdString();
    EXPECT_TRUE(shown.contains(u"BUILTIN\\Administrators:(OI)(CI)(F)"_s)) << shown.toStdString();
    EXPECT_FALSE(shown.contains(u"CREATOR OWNER"_s)) << shown.toStdString();
}

} // namespace
