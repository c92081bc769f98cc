// icacls.exe: grants, denials and removals, its listing, its errors, and what the access check
// makes of the entries it writes.

#include "tests/support/AclMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using emulation::files::WinPath;
using testing_support::AclTest;
namespace rights = emulation::accounts::rights;

namespace {

TEST_F(AclTest, GrantThenShowListsTheEntry) {
    auto r = cmd(u"icacls \"D:\\WebRoot\\shop\" /grant a:(OI)(CI)(RA,REA,RC,RD,WD,S)"_s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, u"已处理的文件: D:\\WebRoot\\shop\r\n已成功处理 1 个文件; 处理 0 个文件时失败\r\n"_s);
    const QStringList lines = shown(u"D:\\WebRoot\\shop"_s);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines[0], u"VELMORA\\a:(OI)(CI)(RC,S,RD,WD,REA,RA)"_s);
    EXPECT_TRUE(lines.contains(u"BUILTIN\\Administrators:(I)(OI)(CI)(F)"_s))
        << lines.join(u'|').toStdString();
    EXPECT_EQ(lines.last(), u"已成功处理 1 个文件; 处理 0 个文件时失败"_s);
}

TEST_F(AclTest, SimpleRightsAndInheritanceReachFilesAndFolders) {
    cmd(u"icacls \"D:\\WebRoot\\shop\" /grant a:(OI)(CI)(RA,REA,RC,RD,S)"_s);
    EXPECT_EQ(shown(u"D:\\WebRoot\\shop"_s)[0], u"VELMORA\\a:(OI)(CI)(R)"_s) << "the mask of R is shown as R";
    EXPECT_EQ(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web\\index.html"_s) & rights::Read, rights::Read);
    EXPECT_FALSE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web\\index.html"_s) & rights::WriteData);

    // (CI) only: folders inherit, files do not; (NP): one level only.
    cmd(u"icacls D:\\WebRoot /grant a:(CI)(NP)(DC)"_s);
    EXPECT_TRUE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop"_s) & rights::DeleteChild);
    EXPECT_FALSE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web"_s) & rights::DeleteChild);
    // Users (and so every account) may add files in any folder below the drive root.
    EXPECT_TRUE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web"_s) & rights::WriteData);
    // (IO): not for the folder itself.
    cmd(u"icacls D:\\WebRoot /grant a:(OI)(IO)(DE)"_s);
    EXPECT_FALSE(rightsOf(u"a"_s, u"D:\\WebRoot"_s) & rights::Delete);
    EXPECT_TRUE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web\\index.html"_s) & rights::Delete);
}

TEST_F(AclTest, CanonicalOrderExplicitDenyBeatsAllowAndExplicitAllowBeatsInheritedDeny) {
    cmd(u"icacls D:\\WebRoot\\shop /grant a:(OI)(CI)(M)"_s);
    cmd(u"icacls D:\\WebRoot\\shop /deny a:(OI)(CI)(WA,WEA)"_s);
    const std::uint32_t r = rightsOf(u"a"_s, u"D:\\WebRoot\\shop"_s);
    EXPECT_FALSE(r & rights::WriteAttributes);
    EXPECT_TRUE(r & rights::WriteData);
    EXPECT_EQ(shown(u"D:\\WebRoot\\shop"_s)[0], u"VELMORA\\a:(OI)(CI)(DENY)(WEA,WA)"_s)
        << "deny entries first";
    // On the child the deny is inherited, and an explicit allow there comes before it.
    cmd(u"icacls D:\\WebRoot\\shop\\web /grant a:(WA)"_s);
    EXPECT_TRUE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web"_s) & rights::WriteAttributes);
    EXPECT_FALSE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web\\index.html"_s) & rights::WriteAttributes);
}

TEST_F(AclTest, GrantReplaceAndRemoveGrants) {
    cmd(u"icacls D:\\WebRoot\\shop /grant a:(OI)(CI)(F)"_s);
    cmd(u"icacls D:\\WebRoot\\shop /deny a:(DE)"_s);
    cmd(u"icacls D:\\WebRoot\\shop /grant:r a:(RD)"_s);
    auto aces = m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop"_s));
    ASSERT_EQ(aces.size(), 2u) << "the grant was replaced; the denial stays";
    EXPECT_TRUE(aces[0].deny);
    EXPECT_EQ(aces[1].mask, rights::ReadData);
    EXPECT_EQ(aces[1].flags, 0u);
    cmd(u"icacls D:\\WebRoot\\shop /remove:g a"_s);
    aces = m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop"_s));
    ASSERT_EQ(aces.size(), 1u);
    EXPECT_TRUE(aces[0].deny);
    cmd(u"icacls D:\\WebRoot\\shop /remove a"_s);
    EXPECT_TRUE(m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop"_s)).empty());
}

TEST_F(AclTest, GrantMergesIntoTheEntryOfTheSameInheritance) {
    cmd(u"icacls D:\\WebRoot /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s);
    cmd(u"icacls D:\\WebRoot /grant iis_wpg:(OI)(CI)(X)"_s);
    const auto aces = m->files().explicitAces(WinPath::parse(u"D:\\WebRoot"_s));
    ASSERT_EQ(aces.size(), 1u);
    EXPECT_EQ(aces[0].mask, rights::ReadExecute);
}

TEST_F(AclTest, TrailingBlankOfAQuotedPathIsDropped) {
    auto r = cmd(u"icacls \"D:\\WebRoot\\shop\\web \" /grant:r a:(OI)(CI)(RA,RC,REA,RD,DC,GW,WA,WEA,WDAC,S) "
                 "/deny a:(DE)"_s);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    const auto aces = m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop\\web"_s));
    ASSERT_EQ(aces.size(), 2u);
    EXPECT_TRUE(aces[0].deny);
    EXPECT_EQ(aces[0].mask, rights::Delete);
    EXPECT_EQ(aces[0].flags, 0u) << "(DE) on the folder itself only";
    EXPECT_TRUE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web\\index.html"_s) & rights::WriteData) << "GW maps";
    EXPECT_FALSE(rightsOf(u"a"_s, u"D:\\WebRoot\\shop\\web"_s) & rights::Delete);
}

TEST_F(AclTest, IcaclsErrors) {
    auto nobody = cmd(u"icacls D:\\WebRoot /grant nobody:F"_s);
    EXPECT_EQ(nobody.exitCode, 1332);
    EXPECT_EQ(
        nobody.output,
        u"nobody: 帐户名与安全标识间无任何映射完成。\r\n已成功处理 0 个文件; 处理 1 个文件时失败\r\n"_s);
    auto missing = cmd(u"icacls D:\\Nowhere /grant a:F"_s);
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.output.startsWith(u"D:\\Nowhere: 系统找不到指定的文件。"_s));
    for (const auto* bad : {u"a:(OI)(CI)(XX)", u"a:(OI", u"a:", u"a:(RD)(WD)", u"a:ZZ", u"a:(OI)(CI)"}) {
        auto r = cmd(u"icacls D:\\WebRoot /grant "_s + QString::fromUtf16(bad));
        EXPECT_EQ(r.exitCode, 87) << QString::fromUtf16(bad).toStdString();
    }
    EXPECT_TRUE(m->files().explicitAces(WinPath::parse(u"D:\\WebRoot"_s)).empty()) << "nothing changed";
    EXPECT_EQ(cmd(u"icacls \"Q:\\x\" /grant a:F"_s).exitCode, 2);
}

TEST_F(AclTest, IcaclsListsEntriesAsIcaclsPrintsThem) {
    cmd(u"icacls D:\\WebRoot /grant a:(OI)(CI)(M) /grant \"CREATOR OWNER\":(OI)(CI)(IO)(F)"_s);
    cmd(u"icacls D:\\WebRoot /grant iis_wpg:(OI)(WDAC) /grant users:(CI)(NP)(RD)"_s);
    // The folder itself: explicit entries with their flags, inherit-only ones marked (IO).
    const QStringList root = shown(u"D:\\WebRoot"_s);
    EXPECT_TRUE(root.contains(u"VELMORA\\a:(OI)(CI)(M)"_s)) << root.join(u'|').toStdString();
    EXPECT_TRUE(root.contains(u"CREATOR OWNER:(OI)(CI)(IO)(F)"_s));
    EXPECT_TRUE(root.contains(u"BUILTIN\\Users:(CI)(NP)(RD)"_s));
    // A folder below: inherited entries with (I) first; an (OI) entry only passes on to files.
    const QStringList folder = shown(u"D:\\WebRoot\\shop"_s);
    EXPECT_TRUE(folder.contains(u"VELMORA\\a:(I)(OI)(CI)(M)"_s)) << folder.join(u'|').toStdString();
    EXPECT_TRUE(folder.contains(u"CREATOR OWNER:(I)(OI)(CI)(IO)(F)"_s));
    EXPECT_TRUE(folder.contains(u"VELMORA\\IIS_WPG:(I)(OI)(IO)(WDAC)"_s));
    EXPECT_TRUE(folder.contains(u"BUILTIN\\Users:(I)(RD)"_s)) << "(NP): one level, without its flags";
    EXPECT_FALSE(shown(u"D:\\WebRoot\\shop\\web"_s).join(u'|').contains(u"Users:(I)(RD)"_s));
    // A file: inherited entries carry no inheritance flags, and none are granted on a file.
    const QStringList file = shown(u"D:\\WebRoot\\shop\\web\\index.html"_s);
    EXPECT_TRUE(file.contains(u"VELMORA\\a:(I)(M)"_s)) << file.join(u'|').toStdString();
    EXPECT_TRUE(file.contains(u"VELMORA\\IIS_WPG:(I)(WDAC)"_s));
    EXPECT_FALSE(file.join(u'|').contains(u"CREATOR OWNER"_s));
    cmd(u"icacls D:\\WebRoot\\shop\\web\\index.html /grant a:(OI)(CI)(RD)"_s);
    EXPECT_EQ(shown(u"D:\\WebRoot\\shop\\web\\index.html"_s)[0], u"VELMORA\\a:(RD)"_s);
    // The inherit-only entry gives the folder nothing; on a file below it counts.
    EXPECT_TRUE(rightsOf(u"IIS_WPG"_s, u"D:\\WebRoot\\shop\\web\\index.html"_s) & rights::WriteDac);
    EXPECT_FALSE(rightsOf(u"IIS_WPG"_s, u"D:\\WebRoot\\shop"_s) & rights::WriteDac);
}

TEST_F(AclTest, IcaclsNamesPrincipalsBySidAndRemovesEntriesOfDeletedAccounts) {
    const QString sid = m->accounts().lookup(u"a"_s)->sid;
    EXPECT_EQ(cmd(u"icacls D:\\WebRoot /grant *"_s + sid + u":(OI)(CI)(RX)"_s).exitCode, 0);
    EXPECT_EQ(shown(u"D:\\WebRoot"_s)[0], u"VELMORA\\a:(OI)(CI)(RX)"_s);
    cmd(u"net user a /delete"_s);
    EXPECT_EQ(shown(u"D:\\WebRoot"_s)[0], sid + u":(OI)(CI)(RX)"_s) << "a deleted account shows as its SID";
    EXPECT_EQ(cmd(u"icacls D:\\WebRoot /remove a"_s).exitCode, 1332) << "the name is gone";
    auto removed = cmd(u"icacls D:\\WebRoot /remove *"_s + sid);
    EXPECT_EQ(removed.exitCode, 0) << removed.output.toStdString();
    EXPECT_TRUE(m->files().explicitAces(WinPath::parse(u"D:\\WebRoot"_s)).empty());
    EXPECT_EQ(cmd(u"icacls D:\\WebRoot /grant *S-1-5-32-545:(RD)"_s).exitCode, 0);
    EXPECT_EQ(shown(u"D:\\WebRoot"_s)[0], u"BUILTIN\\Users:(RD)"_s);
    EXPECT_EQ(cmd(u"icacls D:\\WebRoot /grant *X-1-2:(RD)"_s).exitCode, 1332);
}

TEST_F(AclTest, DenyTakesTheSameRightsOutOfTheExplicitGrants) {
    cmd(u"icacls D:\\WebRoot\\shop /grant a:(OI)(CI)(F) /grant a:(RD,WD)"_s);
    cmd(u"icacls D:\\WebRoot\\shop /deny a:(WD,DE)"_s);
    const auto aces = m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop"_s));
    ASSERT_EQ(aces.size(), 3u);
    EXPECT_TRUE(aces[0].deny);
    EXPECT_EQ(aces[1].mask, rights::Full & ~(rights::WriteData | rights::Delete));
    EXPECT_EQ(aces[2].mask, rights::ReadData);
    cmd(u"icacls D:\\WebRoot\\shop /deny a:(RD)"_s);
    const auto after = m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop"_s));
    ASSERT_EQ(after.size(), 2u) << "a grant left with no rights goes; the denials merge";
    EXPECT_EQ(after[0].mask, rights::WriteData | rights::Delete | rights::ReadData);
    EXPECT_EQ(after[1].mask, rights::Full & ~(rights::WriteData | rights::Delete | rights::ReadData));
}

} // namespace
