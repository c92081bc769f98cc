// The main window as the operator sees it: controls, reactions of the option boxes, menus.

#include "window/Form1.h"
#include "emulation/metabase/MetabaseStore.h"
#include "settings/ReadIniValue.h"
#include "tests/support/FormHarness.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

class Form1Test : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    testing_support::TempMachine& m = h.machine;
    Form1* form = nullptr;

    void SetUp() override { form = &h.build(); }
    template <typename W> W* find(const char* name) {
        auto* w = form->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); }
};

// Design geometry in twips, turned into pixels at 15 twips a pixel.
QRect px(int l, int t, int w, int h) {
    return {(l + 7) / 15, (t + 7) / 15, (w + 7) / 15, (h + 7) / 15};
}

TEST_F(Form1Test, WindowHasItsCaptionAndFixedClientSize) {
    EXPECT_EQ(form->windowTitle(), u"Velmora-Quorrin"_s);
    EXPECT_EQ(form->centralWidget()->size(), QSize(623, 441));
    EXPECT_FALSE(form->windowIcon().isNull());
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    const QSize before = form->size();
    form->resize(before + QSize(200, 100));
    EXPECT_EQ(form->size(), before);
}

TEST_F(Form1Test, ControlsHaveTheirDesignTextsGeometryAndState) {
    struct Expect {
        const char* name;
        QString text;
        QRect geometry;
        bool enabled;
        QString tip;
    };
    const Expect expected[] = {
        {"Label1", u"网站名称："_s, px(120, 285, 900, 255), true, {}},
        {"txtSiteName", u"myweb"_s, px(1100, 200, 3480, 375), true, u"输入网站名称"_s},
        {"Check1", u"创建匿名用户"_s, px(4800, 150, 1455, 255), true, {}},
        {"Check2", u"创建/删除独立的程序池"_s, px(6960, 150, 2295, 300), true, {}},
        {"Check3", u"创建/删除独立FTP站点"_s, px(4800, 650, 2175, 255), true, {}},
        {"Check4", u"64Bit do not access php"_s, px(6960, 650, 2400, 180), false, {}},
        {"Label2", u"绑定域名："_s, px(120, 1040, 975, 255), true, {}},
        {"Check5", u"创建 301 全站重定向"_s, px(4800, 1150, 2295, 255), true, {}},
        {"Label3", u"网站 IP："_s, px(120, 1750, 855, 255), true, {}},
        {"Label4", u":"_s, px(3600, 1710, 135, 255), true, {}},
        {"txtSitePort", u"80"_s, px(3840, 1700, 615, 300), true, {}},
        {"Label7", u"FTP用户名："_s, px(4800, 1750, 1065, 255), true, {}},
        {"username", u"myweb"_s, px(5760, 1650, 1455, 390), false, {}},
        {"Label8", u"密码："_s, px(7320, 1750, 555, 255), true, {}},
        {"password", u""_s, px(7800, 1650, 1455, 375), false, u"匿名用户密码"_s},
        {"Label5", u"网站路径："_s, px(120, 2350, 975, 255), true, {}},
        {"txtSitePath", u"D:\\WebRoot"_s, px(1080, 2250, 3495, 375), false, u"网站程序路径"_s},
        {"Command1", u"建站"_s, px(4800, 2250, 735, 375), true, u"创建站点"_s},
        {"Command2", u"删站"_s, px(6000, 2250, 735, 375), true, u"删除网站名称中的网站"_s},
        {"Command3", u"修改"_s, px(7200, 2250, 735, 375), true, u"确定修改"_s},
        {"Command4", u"提取"_s, px(8400, 2250, 735, 375), true, {}},
        {"Label9", u"网站列表"_s, px(4320, 2760, 1005, 375), true, {}},
        {"Label13", u"提取日期："_s, px(7320, 2760, 975, 255), true, {}},
        {"timedate", u""_s, px(8250, 2700, 975, 270), true, {}},
        {"Label11", u"服务器网站数："_s, px(120, 6360, 1300, 255), true, {}},
        {"Label10", u""_s, px(1440, 6360, 405, 255), true, {}},
        {"Label12", u""_s, px(4080, 6360, 1695, 255), true, {}},
    };
    for (const auto& e : expected) {
        QWidget* w = find<QWidget>(e.name);
        if (!w)
            continue;
        QString text;
        if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* t = qobject_cast<QLineEdit*>(w))
            text = t->text();
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text();
        EXPECT_EQ(text, e.text) << e.name;
        EXPECT_EQ(w->geometry(), e.geometry) << e.name;
        EXPECT_EQ(w->isEnabled(), e.enabled) << e.name;
        EXPECT_EQ(w->toolTip(), e.tip) << e.name;
        EXPECT_EQ(w->font().family(), e.name == std::string("Label9") ? u"FangSong_GB2312"_s : u"SimSun"_s)
            << e.name;
    }
    EXPECT_TRUE(form->Check2->isChecked());
    EXPECT_FALSE(form->Check1->isChecked() || form->Check3->isChecked() || form->Check4->isChecked() ||
                 form->Check5->isChecked());
    EXPECT_TRUE(form->Label6->text().startsWith(u"多域名用@分隔如："_s));
    EXPECT_TRUE(form->Label6->text().mid(9).contains(u'@'));
    EXPECT_FALSE(form->txtHostName->text().isEmpty());
    EXPECT_EQ(form->txtHostName->toolTip(), u"网站榜定的域名"_s);
    EXPECT_TRUE(form->readtable->isHidden());
    EXPECT_EQ(form->Combo1->count(), 0);
    EXPECT_TRUE(form->Combo1->isEditable());
    EXPECT_EQ(form->Combo1->toolTip(), u"选择本机IP"_s);
    EXPECT_EQ(form->MSFlexGrid1->geometry(), px(120, 3000, 9135, 3285));
    EXPECT_EQ(form->MSFlexGrid1->Rows(), 2);
    EXPECT_EQ(form->MSFlexGrid1->Cols(), 7);
    EXPECT_EQ(form->MSFlexGrid1->toolTip(), u"服务器站点信息"_s);
    EXPECT_TRUE(form->Label4->font().bold());
    EXPECT_DOUBLE_EQ(form->Label4->font().pointSizeF(), 10.5);
    EXPECT_EQ(form->Label9->font().pointSize(), 12);
    for (QLabel* red : {form->Label9, form->Label11, form->Label12})
        EXPECT_EQ(red->palette().color(QPalette::WindowText), QColor(255, 0, 0))
            << red->objectName().toStdString();
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 60000);
}

// What a screen reader says for the widget.
QString spokenName(QWidget* w) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    return a ? a->text(QAccessible::Name) : u"<none>"_s;
}

TEST_F(Form1Test, EveryFieldIsNamedByItsLabel) {
    const std::pair<const char*, const char16_t*> named[] = {
        {"txtSiteName", u"网站名称"}, {"txtHostName", u"绑定域名"},       {"Combo1", u"网站 IP"},
        {"txtSitePort", u"网站端口"}, {"username", u"FTP用户名"},         {"password", u"密码"},
        {"txtSitePath", u"网站路径"}, {"timedate", u"提取日期"},          {"MSFlexGrid1", u"网站列表"},
        {"Check1", u"创建匿名用户"},  {"Check5", u"创建 301 全站重定向"}, {"Command1", u"建站"},
        {"Command4", u"提取"},
    };
    for (const auto& [name, spoken] : named)
        EXPECT_EQ(spokenName(find<QWidget>(name)), QString::fromUtf16(spoken)) << name;
    for (const auto& [label, field] :
         {std::pair{"Label1", "txtSiteName"}, std::pair{"Label2", "txtHostName"},
          std::pair{"Label3", "Combo1"}, std::pair{"Label8", "password"}, std::pair{"Label13", "timedate"}})
        EXPECT_EQ(find<QLabel>(label)->buddy(), find<QWidget>(field)) << label;
    // In redirect mode the path box is the target address, and is named so.
    form->Check5->setChecked(true);
    EXPECT_EQ(spokenName(form->txtSitePath), u"目标地址"_s);
    form->Check5->setChecked(false);
    EXPECT_EQ(spokenName(form->txtSitePath), u"网站路径"_s);
}

TEST_F(Form1Test, TabOrderAndStartFocus) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    EXPECT_EQ(QApplication::focusWidget(), form->Command1);
    QStringList visited;
    for (int i = 0; i < 14; ++i) {
        visited << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    // Disabled and hidden controls are passed over; the order wraps round to Command1.
    EXPECT_EQ(visited,
              (QStringList{u"Command1"_s, u"txtSiteName"_s, u"txtHostName"_s, u"Command2"_s, u"txtSitePort"_s,
                           u"Combo1"_s, u"Check2"_s, u"Check1"_s, u"Check3"_s, u"Command3"_s,
                           u"MSFlexGrid1"_s, u"Check5"_s, u"Command4"_s, u"timedate"_s}));
    EXPECT_EQ(QApplication::focusWidget(), form->Command1);
}

TEST_F(Form1Test, Check1EnablesThePasswordAndKeepsItsText) {
    click(form->Check1);
    EXPECT_TRUE(form->password->isEnabled());
    QTest::keyClicks(form->password, u"s3cret"_s);
    click(form->Check1);
    EXPECT_FALSE(form->password->isEnabled());
    EXPECT_EQ(form->password->text(), u"s3cret"_s);
}

TEST_F(Form1Test, TickingCheck3TicksCheck1AndUntickingLeavesIt) {
    click(form->Check3);
    EXPECT_TRUE(form->Check1->isChecked());
    EXPECT_TRUE(form->password->isEnabled());
    click(form->Check3);
    EXPECT_FALSE(form->Check3->isChecked());
    EXPECT_TRUE(form->Check1->isChecked());
}

TEST_F(Form1Test, RedirectModeOnDisablesTheAccountAndPoolBoxes) {
    click(form->Check1);
    click(form->Check3);
    click(form->Check5);
    EXPECT_FALSE(form->Check1->isChecked());
    EXPECT_FALSE(form->Check1->isEnabled());
    EXPECT_FALSE(form->password->isEnabled()) << "the Check1 reaction ran";
    EXPECT_FALSE(form->Check2->isChecked());
    EXPECT_FALSE(form->Check2->isEnabled());
    EXPECT_FALSE(form->Check3->isEnabled());
    EXPECT_TRUE(form->Check3->isChecked()) << "its tick is left as it was";
    EXPECT_EQ(form->Label5->text(), u"目标地址："_s);
    EXPECT_EQ(form->txtSitePath->text(), u"http://"_s);
    EXPECT_TRUE(form->txtSitePath->isEnabled());
}

TEST_F(Form1Test, RedirectModeOffRestoresTheSitesRootFromTheSettings) {
    m.profiles().WritePrivateProfileString(u"HomePath"_s, u"PATH"_s, u"E:\\Hosting"_s,
                                           settings::SettingsFile);
    click(form->Check2); // the operator unticks the pool box first
    ASSERT_FALSE(form->Check2->isChecked());
    click(form->Check5);
    QTest::keyClicks(form->txtSitePath, u"www.target.com"_s);
    click(form->Check5);
    EXPECT_TRUE(form->Check2->isChecked()) << "ticked again";
    EXPECT_TRUE(form->Check1->isEnabled() && form->Check2->isEnabled() && form->Check3->isEnabled());
    EXPECT_EQ(form->Label5->text(), u"网站路径："_s);
    EXPECT_EQ(form->txtSitePath->text(), u"E:\\Hosting"_s) << "the typed target is discarded";
    EXPECT_FALSE(form->txtSitePath->isEnabled());
}

TEST_F(Form1Test, RedirectModeOffWithoutSettingsLeavesThePathEmpty) {
    click(form->Check5);
    click(form->Check5);
    EXPECT_EQ(form->txtSitePath->text(), QString());
    EXPECT_EQ(m.readFile(settings::SettingsFile), QByteArray()) << "a null default writes nothing";
}

TEST_F(Form1Test, SettingABoxToTheStateItHasRunsNoReaction) {
    form->txtSitePath->setText(u"untouched"_s);
    form->Check5->setChecked(false);
    EXPECT_EQ(form->txtSitePath->text(), u"untouched"_s);
    form->Check1->setChecked(true);
    form->password->setEnabled(false);
    form->Check1->setChecked(true);
    EXPECT_FALSE(form->password->isEnabled());
    // A change by the program runs the reaction as a click would.
    form->Check1->setChecked(false);
    EXPECT_FALSE(form->password->isEnabled());
    form->Check3->setChecked(true);
    EXPECT_TRUE(form->password->isEnabled());
}

TEST_F(Form1Test, Check4AndUsernameCannotBeChangedByTheOperator) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    click(form->Check4);
    EXPECT_FALSE(form->Check4->isChecked());
    QTest::keyClicks(form->username, u"intruder"_s);
    EXPECT_EQ(form->username->text(), u"myweb"_s);
}

TEST_F(Form1Test, MenusHaveTheirCaptionsShortcutsAndStates) {
    const auto menus = form->menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), u"文件(&F)"_s);
    EXPECT_EQ(menus[1]->text(), u"帮助(&H)"_s);
    QStringList file;
    for (QAction* a : form->Menu_file->actions())
        file << a->objectName() + u'=' + (a->isSeparator() ? u"-"_s : a->text()) + u'=' +
                    a->shortcut().toString(QKeySequence::PortableText);
    EXPECT_EQ(file, (QStringList{u"Menu_file_home=设置主目录(&P)=Ctrl+P"_s, u"Menu_file_0=-="_s,
                                 u"Menu_file_log=日志目录(&L)=Ctrl+L"_s, u"Menu_file_1=-="_s,
                                 u"Menu_file_back=备份IIS(&B)=Ctrl+B"_s}));
    QStringList help;
    for (QAction* a : form->Menu_help->actions())
        help << a->objectName() + u'=' + (a->isSeparator() ? u"-"_s : a->text());
    EXPECT_EQ(help,
              (QStringList{u"Menu_help_about=关于我们"_s, u"Menu_help_0=-"_s, u"Menu_help_conn=请求帮助"_s}));
    EXPECT_FALSE(form->Menu_file_back->isEnabled());
}

TEST_F(Form1Test, ShortcutsReachTheirItemsButCtrlBDoesNothing) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    QSignalSpy home(form->Menu_file_home, &QAction::triggered);
    QSignalSpy log(form->Menu_file_log, &QAction::triggered);
    QSignalSpy back(form->Menu_file_back, &QAction::triggered);
    QTest::keyClick(form, Qt::Key_P, Qt::ControlModifier);
    QTest::keyClick(form, Qt::Key_L, Qt::ControlModifier);
    QTest::keyClick(form, Qt::Key_B, Qt::ControlModifier);
    form->Menu_file_back->trigger();
    EXPECT_EQ(home.count(), 1);
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(back.count(), 0);
}

} // namespace

namespace {

// Name changes the accessibility layer was told of, as "objectName=name".
QStringList g_nameChanges;
void recordNameChange(QAccessibleEvent* event) {
    if (event->type() != QAccessible::NameChanged)
        return;
    if (auto* w = qobject_cast<QWidget*>(event->object()))
        g_nameChanges << w->objectName() + u'=' + event->accessibleInterface()->text(QAccessible::Name);
}

TEST(Form1Accessibility, TheCountAndTheStatusAreReadByWhatTheyShow) {
    testing_support::FormHarness h;
    Form1& form = h.start();
    form.show();
    // As a screen reader's bridge switches it on: QAccessible then tells of every change.
    QPlatformIntegration* platform = QGuiApplicationPrivate::platformIntegration();
    ASSERT_TRUE(platform && platform->accessibility());
    platform->accessibility()->setActive(true);
    g_nameChanges.clear();
    QAccessible::installUpdateHandler(recordNameChange);
    struct Restore {
        ~Restore() {
            QAccessible::installUpdateHandler(nullptr);
            QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(false);
        }
    } restore;
    EXPECT_EQ(spokenName(form.Label10), u"1"_s) << "the default web site";

    // A create through the window: the count becomes 2, and the screen reader hears it.
    form.state.RunStatus = u"True"_s;
    form.state.SecureCount = u"7"_s;
    form.txtSiteName->setText(u"shop"_s);
    form.txtHostName->setText(u"www.shop.com"_s);
    QTest::mouseClick(form.Command1, Qt::LeftButton);
    ASSERT_EQ(h.dialogs.shown.back().prompt, u"网站 shop 创建成功!"_s);
    EXPECT_EQ(spokenName(form.Label10), u"2"_s);

    // A refused key: the status line's words are its name.
    QTest::keyClick(form.txtHostName, Qt::Key_Exclam);
    EXPECT_EQ(form.Label12->text(), u"输入域名错误！"_s);
    EXPECT_EQ(spokenName(form.Label12), u"输入域名错误！"_s);
    QTest::keyClick(form.timedate, Qt::Key_A);
    EXPECT_EQ(spokenName(form.Label12), u"日期必须是数字！"_s);

    if (QAccessible::isActive()) {
        EXPECT_TRUE(g_nameChanges.contains(u"Label10=2"_s)) << g_nameChanges.join(u'|').toStdString();
        EXPECT_TRUE(g_nameChanges.contains(u"Label12=输入域名错误！"_s))
            << g_nameChanges.join(u'|').toStdString();
        EXPECT_TRUE(g_nameChanges.contains(u"Label12=日期必须是数字！"_s))
            << g_nameChanges.join(u'|').toStdString();
    } else {
        ADD_FAILURE() << "no accessibility layer to tell";
    }
    // Their captions stay their labels.
    QAccessibleInterface* count = QAccessible::queryAccessibleInterface(form.Label10);
    EXPECT_EQ(count->text(QAccessible::Description), u"服务器网站数"_s);
    bool labelled = false;
    for (const auto& [other, relation] : count->relations(QAccessible::Label))
        labelled = labelled || other->object() == form.Label11;
    EXPECT_TRUE(labelled);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form.Label12)->text(QAccessible::Description), u"状态"_s);
}

} // namespace
