// Permissions: icacls and cacls conformance, inheritance and the access check.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using emulation::files::WinPath;
using testing_support::run;
namespace rights = emulation::accounts::rights;

namespace {

class AclTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    void SetUp() override {
        cmd(u"net user a pw /add"_s);
        cmd(u"md D:\\WebRoot\\shop\\web"_s);
        m.writeFile(u"D:\\WebRoot\\shop\\web\\index.html"_s, "x");
    }
    platform::CommandResult cmd(const QString& line) { return run(m.machine(), u"cmd.exe /c "_s + line); }
    std::uint32_t rightsOf(const QString& account, const QString& path) {
        return m->files().rightsOf(m->accounts().lookup(account)->sid, WinPath::parse(path));
    }
    QStringList shown(const QString& path) {
        QStringList lines = cmd(u"icacls \""_s + path + u'"').output.split(u"\r\n"_s, Qt::SkipEmptyParts);
        for (QString& l : lines)
            l = (l.startsWith(path) ? l.mid(path.size()) : l).trimmed();
        return lines;
    }
};

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

TEST_F(AclTest, CaclsEditsTheWholeTreeAndRevokes) {
    auto r = cmd(u"cacls \"D:\\WebRoot\" /t /e /c /g administrators:F"_s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.output.contains(u"处理的目录: D:\\WebRoot\\shop\\web\r\n"_s)) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains(u"处理的文件: D:\\WebRoot\\shop\\web\\index.html\r\n"_s));
    // cacls writes each list back whole as the object's own: what it inherited becomes explicit.
    const auto page = WinPath::parse(u"D:\\WebRoot\\shop\\web\\index.html"_s);
    EXPECT_TRUE(m->files().isProtected(page));
    EXPECT_EQ(m->files().explicitAces(page).back(),
              (emulation::accounts::Ace{false, u"S-1-5-32-544"_s, rights::Full, 0}));

    cmd(u"icacls D:\\WebRoot /grant users:(OI)(CI)(RX)"_s);
    cmd(u"icacls D:\\WebRoot\\shop /grant users:(RD)"_s);
    cmd(u"cacls \"D:\\WebRoot\" /t /e /r users"_s);
    for (const auto* p : {u"D:\\WebRoot", u"D:\\WebRoot\\shop"})
        for (const auto& ace : m->files().explicitAces(WinPath::parse(QString::fromUtf16(p))))
            EXPECT_NE(ace.sid, u"S-1-5-32-545"_s) << QString::fromUtf16(p).toStdString();
    // The drive's Users entries had become the folder's own: /r takes them off too.
    EXPECT_FALSE(rightsOf(u"a"_s, u"D:\\WebRoot"_s) & rights::ReadData);

    EXPECT_EQ(cmd(u"cacls \"D:\\WebRoot\" /t /e /r \"CREATOR OWNER\""_s).exitCode, 0);
    // Without an edit cacls shows the list, the path before its first entry.
    const QStringList list = cmd(u"cacls D:\\webroot"_s).output.split(u"\r\n"_s, Qt::SkipEmptyParts);
    ASSERT_GE(list.size(), 2);
    EXPECT_EQ(list[0], u"D:\\WebRoot NT AUTHORITY\\SYSTEM:(OI)(CI)F"_s);
    EXPECT_EQ(list[1], u"           BUILTIN\\Administrators:(OI)(CI)F"_s) << "the list's own entries only";
    EXPECT_EQ(cmd(u"cacls D:\\WebRoot /e /g nobody:F"_s).exitCode, 1332);
    EXPECT_EQ(cmd(u"cacls D:\\WebRoot /e /g a:Q"_s).exitCode, 87);
    EXPECT_EQ(cmd(u"cacls D:\\Nowhere /e /g a:F"_s).exitCode, 2);
    EXPECT_EQ(cmd(u"cacls D:\\WebRoot /r a"_s).exitCode, 87) << "/r only with /e";
}

TEST_F(AclTest, OperatorCannotListAFolderThatDeniesIt) {
    auto& files = m->files();
    EXPECT_TRUE(files.EntryExists(u"D:\\WebRoot\\shop"_s).value());
    EXPECT_FALSE(files.EntryExists(u"D:\\WebRoot\\other"_s).value());
    EXPECT_TRUE(files.EntryExists(u"d:\\webroot\\SHOP"_s).value()) << "names compare without case";
    cmd(u"icacls D:\\WebRoot /deny administrators:(RD)"_s);
    auto refused = files.EntryExists(u"D:\\WebRoot\\shop"_s);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().number, platform::hr::AccessDenied);
    EXPECT_EQ(files.EntryExists(u"D:\\Nowhere\\x"_s).error().number, platform::hr::PathNotFound);
    // Making a folder there needs the right to add one.
    cmd(u"icacls D:\\WebRoot /deny administrators:(AD)"_s);
    auto md = cmd(u"md D:\\WebRoot\\new"_s);
    EXPECT_EQ(md.output, u"拒绝访问。\r\n"_s);
}

TEST_F(AclTest, DeleteTreeRemovesTheFolderAndItsEntries) {
    cmd(u"icacls D:\\WebRoot\\shop\\web /grant a:F"_s);
    ASSERT_TRUE(m->files().DeleteTree(u"D:\\WebRoot\\shop"_s).ok());
    EXPECT_FALSE(m->files().EntryExists(u"D:\\WebRoot\\shop"_s).value());
    EXPECT_TRUE(m->files().explicitAces(WinPath::parse(u"D:\\WebRoot\\shop\\web"_s)).empty());
    EXPECT_FALSE(m->files().DeleteTree(u"D:\\"_s).ok()) << "never a drive root";
    EXPECT_EQ(m->files().DeleteTree(u"D:\\WebRoot\\shop"_s).error().number, platform::hr::PathNotFound);
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

TEST_F(AclTest, CaclsListsSpecialAccessWithItsRights) {
    cmd(u"icacls D:\\WebRoot\\shop /grant a:(OI)(CI)(RD,WA) /grant iis_wpg:(W)"_s);
    const QStringList lines = cmd(u"cacls D:\\WebRoot\\shop"_s).output.split(u"\r\n"_s, Qt::SkipEmptyParts);
    const QString first = u"D:\\WebRoot\\shop VELMORA\\a:(OI)(CI)(特殊访问:)"_s;
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], first);
    const QString indent(u"D:\\WebRoot\\shop VELMORA\\a:"_s.size(), u' ');
    EXPECT_EQ(lines[1], indent + u"FILE_READ_DATA"_s);
    EXPECT_EQ(lines[2], indent + u"FILE_WRITE_ATTRIBUTES"_s);
    const QString under(u"D:\\WebRoot\\shop "_s.size(), u' ');
    EXPECT_TRUE(lines.contains(under + u"VELMORA\\IIS_WPG:(特殊访问:)"_s)) << lines.join(u'|').toStdString();
    EXPECT_TRUE(lines.contains(under + u"BUILTIN\\Administrators:(OI)(CI)F"_s));
    EXPECT_TRUE(lines.contains(under + u"CREATOR OWNER:(OI)(CI)(IO)F"_s));
}

} // namespace
