// A new operator's first session: create a site, select it, pause and stop it, change its domains
// and password, delete it; every other site and file stays.

#include "tests/maintenance/Sites.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

class JourneyTest : public testing_support::MaintenanceTest {
protected:
    void create(const QString& name, const QString& domains, const QString& pass, bool ftp) {
        form->txtSiteName->setText(name);
        form->txtHostName->setText(domains);
        if (!pass.isEmpty()) {
            if (ftp)
                QTest::mouseClick(form->Check3, Qt::LeftButton, {}, QPoint(6, form->Check3->height() / 2));
            else
                QTest::mouseClick(form->Check1, Qt::LeftButton, {}, QPoint(6, form->Check1->height() / 2));
            form->password->setText(pass);
        }
        press(form->Command1);
        ASSERT_EQ(prompts().last(), u"网站 "_s + name + u" 创建成功!"_s)
            << prompts().join(u" / "_s).toStdString();
    }
    QString cell(const QString& name, int col) { return form->MSFlexGrid1->TextMatrix(rowOf(name), col); }
};

TEST_F(JourneyTest, CreateSelectPauseStopEditAndDelete) {
    create(u"blog"_s, u"blog.com"_s, QString(), false);
    create(u"shop"_s, u"www.shop.com"_s, u"First1"_s, true);
    const QString number = cell(u"shop"_s, 2);
    ASSERT_FALSE(number.isEmpty());

    // Pause and stop from the state cell.
    click(rowOf(u"shop"_s), 0);
    EXPECT_EQ(serverState(number), 6u);
    click(rowOf(u"shop"_s), 0);
    EXPECT_EQ(serverState(number), 4u);
    EXPECT_EQ(cell(u"shop"_s, 0), u"停止"_s);

    // New domains and a new password.
    loadRow(u"shop"_s);
    EXPECT_EQ(form->password->text(), u"First1"_s);
    form->txtHostName->setText(u"shop.net@www.shop.net"_s);
    form->password->setText(u"Second2"_s);
    press(form->Command3);
    EXPECT_EQ(prompts().last(), u"网站 "_s + number + u" 修改成功!"_s);
    EXPECT_EQ(cell(u"shop"_s, 3), u"shop.net www.shop.net "_s);
    EXPECT_EQ(cell(u"shop"_s, 5), u"Second2"_s);
    EXPECT_TRUE(m().accounts().checkPassword(u"shop"_s, u"Second2"_s));
    const auto shown = cmd(u"net user shop"_s);
    EXPECT_EQ(shown.exitCode, 0);
    EXPECT_TRUE(shown.output.contains(u"*velmorausers"_s)) << shown.output.toStdString();

    // Delete: the site with its pool, FTP directory, account and folder.
    const auto before = snapshot();
    loadRow(u"shop"_s);
    press(form->Command2);
    EXPECT_EQ(prompts().last(), u"网站 shop 删除成功!"_s) << prompts().join(u" / "_s).toStdString();
    EXPECT_FALSE(exists(u"IIS://LocalHost/W3SVC/"_s + number));
    EXPECT_FALSE(exists(u"IIS://localhost/w3svc/AppPools/shop"_s));
    EXPECT_FALSE(exists(u"IIS://localhost/MSFTPSVC/1/ROOT/shop"_s));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop"_s));
    EXPECT_EQ(cmd(u"net user shop"_s).exitCode, 2);
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/shop"_s}), QStringList());
    EXPECT_NE(rowOf(u"blog"_s), -1);
    EXPECT_TRUE(m().files().FileExists(u"D:\\WebRoot\\blog\\web\\index.html"_s));
}

} // namespace
