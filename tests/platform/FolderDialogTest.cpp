// The real folder browser over a machine's drives.

#include "platform/qt/FolderDialog.h"
#include "platform/qt/MessageBoxDialogs.h"
#include "provisioning/DirView.h"
#include "tests/support/TempMachine.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

class FolderDialogTest : public ::testing::Test {
protected:
    testing_support::TempMachine m;
    void SetUp() override {
        QDir().mkpath(m->hostPath(u"D:\\WebRoot\\shop"_s));
        QDir().mkpath(m->hostPath(u"D:\\Web Root 2"_s));
        m.writeFile(u"D:\\note.txt"_s, "not a folder");
    }
    static QStringList captions(QTreeWidgetItem* parent) {
        QStringList out;
        for (int i = 0; i < parent->childCount(); ++i)
            out << parent->child(i)->text(0);
        return out;
    }
    // Answers the next modal folder dialog: selects a path (none: cancels) and presses its button.
    void answerNextDialog(const QString& path, QString* shownText) {
        QTimer::singleShot(0, [path, shownText] {
            auto* dialog = qobject_cast<platform::FolderDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            *shownText = dialog->text->text();
            if (path.isEmpty()) {
                QTest::mouseClick(dialog->cancel, Qt::LeftButton);
                return;
            }
            EXPECT_TRUE(dialog->select(path));
            QTest::mouseClick(dialog->ok, Qt::LeftButton);
        });
    }
};

TEST_F(FolderDialogTest, ShowsTheDesktopTheComputerAndItsDrivesFoldersOnly) {
    platform::FolderDialog dialog(m->drivesFolder(), u"浏览目录"_s);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), u"浏览文件夹"_s);
    EXPECT_EQ(dialog.text->text(), u"浏览目录"_s);
    EXPECT_EQ(dialog.ok->text(), u"确定"_s);
    EXPECT_EQ(dialog.cancel->text(), u"取消"_s);
    ASSERT_EQ(dialog.tree->topLevelItemCount(), 1);
    QTreeWidgetItem* desktop = dialog.tree->topLevelItem(0);
    EXPECT_EQ(desktop->text(0), u"桌面"_s);
    ASSERT_EQ(captions(desktop), QStringList{u"我的电脑"_s});
    QTreeWidgetItem* computer = desktop->child(0);
    EXPECT_EQ(captions(computer), (QStringList{u"C:"_s, u"D:"_s}));
    // The desktop and the computer are no file-system folders: nothing to choose yet.
    EXPECT_FALSE(dialog.ok->isEnabled());
    dialog.tree->setCurrentItem(computer);
    EXPECT_FALSE(dialog.ok->isEnabled());

    QTreeWidgetItem* d = computer->child(1);
    dialog.tree->expandItem(d);
    EXPECT_EQ(captions(d), (QStringList{u"Web Root 2"_s, u"WebRoot"_s}));
    dialog.tree->setCurrentItem(d);
    EXPECT_TRUE(dialog.ok->isEnabled());
    EXPECT_EQ(dialog.selectedPath(), u"D:\\"_s);

    // Choosing by mouse: a click on a folder, then OK.
    QTreeWidgetItem* webRoot = d->child(1);
    QTest::mouseClick(dialog.tree->viewport(), Qt::LeftButton, {},
                      dialog.tree->visualItemRect(webRoot).center());
    EXPECT_EQ(dialog.selectedPath(), u"D:\\WebRoot"_s);
    dialog.tree->expandItem(webRoot);
    EXPECT_EQ(captions(webRoot), QStringList{u"shop"_s});
    QTest::mouseClick(dialog.ok, Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(FolderDialogTest, TheDialogsSeamReturnsTheChosenPathOrNothing) {
    platform::MessageBoxDialogs dialogs;
    dialogs.setDrivesFolder(m->drivesFolder());
    QString shown;
    answerNextDialog(u"d:\\webroot\\SHOP"_s, &shown);
    EXPECT_EQ(DirView::BrowseFolder(dialogs, u"浏览目录"_s), u"D:\\WebRoot\\shop"_s);
    EXPECT_EQ(shown, u"浏览目录"_s);

    answerNextDialog({}, &shown);
    EXPECT_EQ(DirView::BrowseFolder(dialogs, QString()), QString());
    EXPECT_EQ(shown, u"选择目录"_s);
}

} // namespace
