// Clicks on the site list: loading a row, the name cell's copy box, and the run state.

#include "tests/maintenance/Sites.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

class SelectionTest : public testing_support::MaintenanceTest {};

TEST_F(SelectionTest, LoadingClickFillsTheFieldsAndRecordsTheSelection) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    form->Check3->setChecked(false);
    form->Check1->setChecked(false);
    loadRow(u"shop"_s);
    EXPECT_EQ(form->txtSiteName->text(), u"shop"_s);
    EXPECT_EQ(form->txtHostName->text(), u"www.shop.com@shop.com"_s) << "no leading or trailing @";
    EXPECT_EQ(form->txtSitePath->text(), u"D:\\WebRoot\\shop\\web"_s);
    EXPECT_EQ(form->username->text(), u"shop"_s);
    EXPECT_EQ(form->password->text(), u"Pw12345"_s) << "the account before the password keeps both";
    EXPECT_EQ(form->state.SelectedSiteId, number);
    EXPECT_EQ(form->state.SelectedSitePath, u"D:\\WebRoot\\shop\\web"_s);
    EXPECT_EQ(form->state.SelectedSiteFolder, u"D:\\WebRoot\\shop"_s);
    EXPECT_TRUE(form->Check3->isChecked());
    EXPECT_TRUE(form->Check1->isChecked()) << "ticking Check3 ticks Check1";
    EXPECT_TRUE(form->password->isEnabled());
    EXPECT_FALSE(form->readtable->isVisible());
    EXPECT_TRUE(h.dialogs.shown.empty());
}

TEST_F(SelectionTest, HeaderAndEmptyLastRow) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s); // the current cell is now in the shop row
    const int last = form->MSFlexGrid1->Rows() - 1;
    // The header's state cell reads "状态": nothing happens, although the current row is a site.
    click(0, 0);
    EXPECT_EQ(serverState(number), 2u);
    click(last, 0);
    EXPECT_EQ(serverState(number), 2u);
    EXPECT_TRUE(h.dialogs.shown.empty());
    // A loading click on the header loads nothing.
    click(0, 4);
    EXPECT_EQ(form->txtSiteName->text(), u"shop"_s);
    EXPECT_EQ(form->state.SelectedSiteId, number);
    // A loading click on the empty last row empties the fields and the identifier; the folder stays.
    click(last, 5);
    EXPECT_EQ(form->txtSiteName->text(), QString());
    EXPECT_EQ(form->txtHostName->text(), QString());
    EXPECT_EQ(form->txtSitePath->text(), QString());
    EXPECT_EQ(form->username->text(), QString());
    EXPECT_EQ(form->password->text(), QString());
    EXPECT_EQ(form->state.SelectedSiteId, QString());
    EXPECT_EQ(form->state.SelectedSiteFolder, u"D:\\WebRoot\\shop"_s);
}

TEST_F(SelectionTest, NameCellLaysTheCopyBoxExactlyOverTheCell) {
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    const int r = rowOf(u"shop"_s);
    click(r, 1);
    auto* grid = form->MSFlexGrid1;
    const QRect cell = grid->visualRect(grid->model()->index(r, 1));
    const QPoint topLeft = grid->viewport()->mapTo(grid->parentWidget(), cell.topLeft());
    EXPECT_TRUE(form->readtable->isVisible());
    EXPECT_EQ(form->readtable->text(), u"shop"_s);
    EXPECT_NEAR(form->readtable->x(), topLeft.x(), 1);
    EXPECT_NEAR(form->readtable->y(), topLeft.y(), 1);
    EXPECT_NEAR(form->readtable->width(), cell.width(), 1);
    EXPECT_NEAR(form->readtable->height(), cell.height(), 1);
    EXPECT_TRUE(form->readtable->hasFocus());
    EXPECT_EQ(form->txtSiteName->text(), u"myweb"_s) << "a name-cell click loads nothing";
    // What is typed into the copy is never read back.
    QTest::keyClicks(form->readtable, u"xyz"_s);
    EXPECT_EQ(rowOf(u"shop"_s), r);
    // The empty last row's name cell shows the box empty.
    click(grid->Rows() - 1, 1);
    EXPECT_TRUE(form->readtable->isVisible());
    EXPECT_EQ(form->readtable->text(), QString());
    // A loading click hides it.
    click(r, 2);
    EXPECT_FALSE(form->readtable->isVisible());
}

TEST_F(SelectionTest, ShortDirectoryLeavesFolderAndCheck3Alone) {
    testing_support::SiteSpec s;
    s.name = u"tiny"_s;
    s.directory = u"D:\\web"_s; // 6 characters
    makeSite(s);
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    form->Check3->setChecked(false);
    loadRow(u"tiny"_s);
    EXPECT_EQ(form->state.SelectedSitePath, u"D:\\web"_s);
    EXPECT_EQ(form->state.SelectedSiteFolder, u"D:\\WebRoot\\shop"_s);
    EXPECT_FALSE(form->Check3->isChecked());
}

TEST_F(SelectionTest, LoadingClickEndsRedirectMode) {
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    form->Check5->setChecked(true);
    ASSERT_EQ(form->txtSitePath->text(), u"http://"_s);
    loadRow(u"shop"_s);
    EXPECT_FALSE(form->Check5->isChecked());
    EXPECT_EQ(form->txtSitePath->text(), u"D:\\WebRoot"_s) << "the sites root replaces the row's directory";
    EXPECT_EQ(form->state.SelectedSitePath, u"D:\\WebRoot\\shop\\web"_s);
    EXPECT_TRUE(form->Check3->isChecked());
    EXPECT_TRUE(form->Check2->isChecked()) << "redirect-off reaction ran";
}

TEST_F(SelectionTest, StateCellCyclesStartedPausedStopped) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    const int r = rowOf(u"shop"_s);
    ASSERT_EQ(form->MSFlexGrid1->TextMatrix(r, 0), u"启动"_s);
    click(r, 0);
    EXPECT_EQ(form->MSFlexGrid1->TextMatrix(r, 0), u"暂停"_s);
    EXPECT_EQ(serverState(number), 6u);
    click(r, 0);
    EXPECT_EQ(form->MSFlexGrid1->TextMatrix(r, 0), u"停止"_s);
    EXPECT_EQ(serverState(number), 4u);
    click(r, 0);
    EXPECT_EQ(form->MSFlexGrid1->TextMatrix(r, 0), u"启动"_s);
    EXPECT_EQ(serverState(number), 2u);
    EXPECT_TRUE(h.dialogs.shown.empty());
    form->RefreshSiteList();
    EXPECT_EQ(form->MSFlexGrid1->TextMatrix(r, 0), u"启动"_s) << "the list reads the state back";
}

TEST_F(SelectionTest, ActsOnTheRowsOwnSiteNotOnOneWithTheSameName) {
    const QString upper = makeSite(u"Shop"_s);
    const QString lower = makeSite(u"shop"_s);
    testing_support::SiteSpec twin;
    twin.name = u"shop"_s;
    twin.ownAccount = false;
    twin.pool = false;
    twin.domains = {u"twin.com"_s};
    const QString second = makeSite(twin);
    form->RefreshSiteList();
    const int r = rowOf(u"shop"_s); // the first of the two rows named shop
    ASSERT_EQ(form->MSFlexGrid1->TextMatrix(r, 2), lower);
    click(r, 0);
    EXPECT_EQ(serverState(lower), 6u);
    EXPECT_EQ(serverState(upper), 2u) << "a name differing in case is another site";
    EXPECT_EQ(serverState(second), 2u) << "the later site with the same name is not touched";
    click(r + 1, 0);
    EXPECT_EQ(serverState(second), 6u);
}

TEST_F(SelectionTest, MissingSiteBindingConflictAndStoppedServiceShowTheMessage) {
    const QString gone = makeSite(u"gone"_s);
    testing_support::SiteSpec a;
    a.name = u"first"_s;
    a.domains = {u"same.com"_s};
    makeSite(a);
    testing_support::SiteSpec b = a;
    b.name = u"second"_s;
    b.state = 4;
    const QString second = makeSite(b);
    form->RefreshSiteList();
    ASSERT_TRUE(bind(u"IIS://LocalHost/W3SVC"_s)->Delete(u"IIsWebServer"_s, gone).ok());

    const auto expectRefused = [&](int row, const QString& cellBefore) {
        const auto before = h.dialogs.shown.size();
        click(row, 0);
        ASSERT_EQ(h.dialogs.shown.size(), before + 1);
        EXPECT_EQ(h.dialogs.shown.back().prompt, u"站点使用的端口或域名已被占用无法启动！"_s);
        EXPECT_EQ(h.dialogs.shown.back().style, 64);
        EXPECT_EQ(h.dialogs.shown.back().title, u"信息提示"_s);
        EXPECT_EQ(form->MSFlexGrid1->TextMatrix(row, 0), cellBefore);
    };
    expectRefused(rowOf(u"gone"_s), u"启动"_s);
    expectRefused(rowOf(u"second"_s), u"停止"_s); // its binding is served by a started site
    EXPECT_EQ(serverState(second), 4u);
    m().setFact(u"service.iisadmin"_s, u"stopped"_s);
    expectRefused(rowOf(u"first"_s), u"启动"_s);
}

} // namespace
