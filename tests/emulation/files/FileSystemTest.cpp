// The file system of the drives: listing under the access check and deleting a tree with its
// access-control entries.

#include "tests/support/AclMachine.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using emulation::files::WinPath;
using testing_support::AclTest;
namespace rights = emulation::accounts::rights;

namespace {

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

// Device names are refused in any case, with an extension, with blanks around the base; names that
// only resemble one are not. A name with other than ASCII characters is upper-cased whole before
// the comparison (a dotless i becomes I).
TEST(WinPath, DeviceNamesAndPathLength) {
    for (const QString& device :
         {u"con"_s, u"Con.txt"_s, u"NUL "_s, u"aux.tar.gz"_s, u"lpt9"_s, u"COM1.log"_s, u"clock$"_s,
          u"ConOut$.x"_s, u"conin$"_s, u"con\u0131n$"_s}) {
        EXPECT_TRUE(WinPath::isDeviceName(device)) << device.toStdString();
        EXPECT_EQ(WinPath::parse(u"D:\\WebRoot\\"_s + device + u"\\x"_s).problem, WinPath::Problem::Device)
            << device.toStdString();
    }
    for (const QString& name : {u"console"_s, u"com0"_s, u"lpt10"_s, u"conout"_s, u"c.on"_s, u"nul_"_s,
                                u"site10000"_s, u"web"_s, u"默认网站"_s, u"x.con"_s})
        EXPECT_FALSE(WinPath::isDeviceName(name)) << name.toStdString();
    // MAX_PATH without its null: "D:\" and 256 more characters at most.
    const QString longest = u"D:\\"_s + QString(100, u'a') + u'\\' + QString(155, u'b');
    EXPECT_EQ(WinPath::parse(longest).problem, WinPath::Problem::None);
    EXPECT_EQ(WinPath::parse(longest + u'c').problem, WinPath::Problem::TooLong);
    EXPECT_EQ(WinPath::parse(longest + u'c').toString().size(), WinPath::MaxPath + 1);
}

} // namespace
