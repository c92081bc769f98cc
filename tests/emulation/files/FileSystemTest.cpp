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

} // namespace
