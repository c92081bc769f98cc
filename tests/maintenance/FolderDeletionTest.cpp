// The machine's tree deletion obeys the access check as the shell's delete does, and a folder that
// stays is named in the delete's report.

#include "tests/maintenance/Sites.h"

#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

class FolderDeletionTest : public testing_support::MaintenanceTest {
protected:
    void lockedSite() {
        makeSite(u"shop"_s);
        h.machine.writeFile(u"D:\\WebRoot\\shop\\web\\locked\\keep.txt"_s, "keep");
        h.machine.writeFile(u"D:\\WebRoot\\shop\\log\\ex.log"_s, "log");
        ASSERT_EQ(
            cmd(u"icacls D:\\WebRoot\\shop\\web\\locked /deny administrators:(OI)(CI)(DE,DC)"_s).exitCode, 0);
    }
};

TEST_F(FolderDeletionTest, EntriesTheOperatorMayNotDeleteStayWithTheFoldersAboveThem) {
    lockedSite();
    const auto result = m().files().DeleteTree(u"D:\\WebRoot\\shop"_s);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().number, platform::hr::AccessDenied);
    EXPECT_TRUE(m().files().FileExists(u"D:\\WebRoot\\shop\\web\\locked\\keep.txt"_s));
    EXPECT_FALSE(m().files().FileExists(u"D:\\WebRoot\\shop\\web\\index.html"_s)) << "what may go, goes";
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop\\log"_s));
    EXPECT_TRUE(folderExists(u"D:\\WebRoot\\shop\\web"_s));
}

TEST_F(FolderDeletionTest, AFolderThatCannotBeListedIsNotEmptied) {
    makeSite(u"shop"_s);
    ASSERT_EQ(cmd(u"icacls D:\\WebRoot\\shop\\web /deny administrators:(RD)"_s).exitCode, 0);
    EXPECT_FALSE(m().files().DeleteTree(u"D:\\WebRoot\\shop"_s).ok());
    EXPECT_TRUE(m().files().FileExists(u"D:\\WebRoot\\shop\\web\\index.html"_s));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop\\log"_s));
}

TEST_F(FolderDeletionTest, TheDeleteButtonReportsTheFolderThatStayed) {
    lockedSite();
    makeSite(u"blog"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    const auto before = snapshot();
    press(form->Command2);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].title, u"警告"_s);
    EXPECT_TRUE(h.dialogs.shown[0].prompt.contains(u"DeleteFolderTree D:\\WebRoot\\shop：拒绝访问。"_s))
        << h.dialogs.shown[0].prompt.toStdString();
    EXPECT_TRUE(m().files().FileExists(u"D:\\WebRoot\\shop\\web\\locked\\keep.txt"_s));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/shop"_s}), QStringList());
}

TEST_F(FolderDeletionTest, AFolderThatCannotBeTestedIsReportedAndKept) {
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    ASSERT_EQ(cmd(u"icacls D:\\WebRoot /deny administrators:(RD)"_s).exitCode, 0);
    press(form->Command2);
    ASSERT_EQ(h.dialogs.shown.size(), 2u) << prompts().join(u" / "_s).toStdString();
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"很抱歉您已经修改了主目录，删除失败！可以手动删除！"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, 64);
    EXPECT_EQ(h.dialogs.shown[0].title, u"删除错误"_s);
    EXPECT_EQ(h.dialogs.shown[1].title, u"警告"_s);
    EXPECT_TRUE(h.dialogs.shown[1].prompt.contains(u"DeleteFolderTree D:\\WebRoot\\shop"_s));
    EXPECT_TRUE(m().files().FileExists(u"D:\\WebRoot\\shop\\web\\index.html"_s));
    EXPECT_FALSE(accountExists(u"shop"_s)) << "the account step still runs";
}

} // namespace
