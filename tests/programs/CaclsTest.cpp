// cacls.exe: edits of whole trees, revocations and its listing of special access.

#include "tests/support/AclMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using emulation::files::WinPath;
using testing_support::AclTest;
namespace rights = emulation::accounts::rights;

namespace {

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
