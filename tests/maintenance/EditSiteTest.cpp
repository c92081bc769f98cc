// The edit button: both branches with their exact metabase results, the account password, and
// the refusals.

#include "platform/qt/MessageBoxDialogs.h"
#include "tests/maintenance/Sites.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace {

class EditSiteTest : public testing_support::MaintenanceTest {
protected:
    platform::MetaValue site(const QString& number, const QString& property) {
        return bind(u"IIS://LocalHost/W3SVC/"_s + number)->Get(property).valueOr({});
    }
    platform::MetaValue root(const QString& number, const QString& property) {
        return bind(u"IIS://LocalHost/W3SVC/"_s + number + u"/ROOT"_s)->Get(property).valueOr({});
    }
    bool passwordChanged() const {
        for (const QString& line : h.journal())
            if (line.startsWith(u"cmd.exe /c net user "_s) && !line.endsWith(u"/add"_s))
                return true;
        return false;
    }
    QStringList extensions(const QString& number) {
        QStringList out;
        for (const auto& e : root(number, u"MimeMap"_s).toMimeMap())
            out << e.Extension;
        return out;
    }
};

TEST_F(EditSiteTest, NothingSelectedEmptyNameAndNoDomainsDeclined) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    press(form->Command3);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"未选择正确的网站！"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, 64);
    EXPECT_EQ(h.dialogs.shown[0].title, u"提示"_s);

    loadRow(u"shop"_s);
    form->txtSiteName->clear();
    form->txtHostName->clear();
    press(form->Command3);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站名称不能为空！"_s) << "the name is checked first";
    EXPECT_EQ(h.dialogs.shown.back().style, 48);
    EXPECT_EQ(h.dialogs.shown.back().title, u"警告"_s);

    loadRow(u"shop"_s);
    form->txtSiteName->setText(u"renamed"_s);
    form->txtHostName->clear();
    h.dialogs.answer(platform::msgbox::No);
    press(form->Command3);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站未绑定域名，是否继续！"_s);
    EXPECT_EQ(h.dialogs.shown.back().style, 260);
    EXPECT_EQ(h.dialogs.shown.back().title, u"提示"_s);
    EXPECT_EQ(site(number, u"ServerComment"_s).toString(), u"shop"_s);
    EXPECT_EQ(site(number, u"ServerBindings"_s).toStringList().size(), 2);
    EXPECT_FALSE(passwordChanged());
    EXPECT_EQ(h.dialogs.shown.size(), 3u);
}

TEST_F(EditSiteTest, WithDomainsSetsBindingsAccountPasswordAndTheRowsDirectory) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    // Redirect mode on and off again: the path box shows the sites root, not the site.
    form->Check5->setChecked(true);
    form->Check5->setChecked(false);
    ASSERT_EQ(form->txtSitePath->text(), u"D:\\WebRoot"_s);
    form->Combo1->setCurrentIndex(form->Combo1->findText(u"192.168.1.10"_s));
    form->txtSitePort->setText(u" 8080 "_s);
    form->txtHostName->setText(u"a.com@b.com@"_s);
    form->password->setText(u"NewPw99"_s);
    const qsizetype journalBefore = h.journal().size();
    press(form->Command3);
    ASSERT_EQ(prompts(), QStringList{u"网站 "_s + number + u" 修改成功!"_s});
    EXPECT_EQ(site(number, u"ServerComment"_s).toString(), u"shop"_s);
    EXPECT_EQ(
        site(number, u"ServerBindings"_s).toStringList(),
        (QStringList{u"192.168.1.10:8080:a.com"_s, u"192.168.1.10:8080:b.com"_s, u"192.168.1.10:8080:"_s}));
    EXPECT_EQ(root(number, u"Path"_s).toString(), u"D:\\WebRoot\\shop\\web"_s);
    for (const QString& key : {u"ROOT"_s, QString()}) {
        auto o = bind(u"IIS://LocalHost/W3SVC/"_s + number + (key.isEmpty() ? QString() : u"/"_s + key));
        EXPECT_EQ(o->Get(u"AnonymousUserName"_s).value().toString(), u"shop"_s);
        EXPECT_EQ(o->Get(u"AnonymousUserPass"_s).value().toString(), u"NewPw99"_s);
        EXPECT_EQ(o->Get(u"AuthFlags"_s).value().toNumber(), 5u);
    }
    EXPECT_EQ(h.journal().mid(journalBefore), QStringList{u"cmd.exe /c net user shop ********"_s})
        << "the one command line of the edit; the journal masks the password";
    EXPECT_EQ(h.clock.waits(), (std::vector<int>{200, 200})) << "the edit waits nowhere, only start-up did";
    EXPECT_TRUE(m().accounts().checkPassword(u"shop"_s, u"NewPw99"_s));
    EXPECT_EQ(extensions(number).filter(u".mp4"_s).size(), 1);
    EXPECT_EQ(extensions(number).filter(u".shtml"_s).size(), 1);
    // The list shows the change, and the selection is spent.
    EXPECT_EQ(form->MSFlexGrid1->TextMatrix(rowOf(u"shop"_s), 3), u"a.com b.com  "_s);
    EXPECT_EQ(form->MSFlexGrid1->TextMatrix(rowOf(u"shop"_s), 5), u"NewPw99"_s);
    EXPECT_EQ(form->state.SelectedSiteId, QString());
    press(form->Command3);
    EXPECT_EQ(prompts().last(), u"未选择正确的网站！"_s);
    // A second edit adds no MIME type twice.
    loadRow(u"shop"_s);
    press(form->Command3);
    EXPECT_EQ(extensions(number).filter(u".mp4"_s).size(), 1);
}

TEST_F(EditSiteTest, WithoutDomainsRenamesAndKeepsTheAccount) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    form->Check5->setChecked(true);
    form->Check5->setChecked(false);
    form->txtSiteName->setText(u"shop2"_s); // the account name follows, the password empties
    form->txtHostName->clear();
    h.dialogs.answer(platform::msgbox::Yes);
    press(form->Command3);
    EXPECT_EQ(prompts().last(), u"网站 "_s + number + u" 修改成功!"_s);
    EXPECT_EQ(site(number, u"ServerComment"_s).toString(), u"shop2"_s);
    EXPECT_EQ(site(number, u"ServerBindings"_s).toStringList(), QStringList());
    EXPECT_EQ(root(number, u"Path"_s).toString(), u"D:\\WebRoot\\shop\\web"_s)
        << "the row's directory, not the sites root in the path box";
    EXPECT_EQ(root(number, u"AnonymousUserName"_s).toString(), u"shop"_s);
    EXPECT_EQ(root(number, u"AnonymousUserPass"_s).toString(), u"Pw12345"_s);
    EXPECT_FALSE(passwordChanged());
    EXPECT_TRUE(accountExists(u"shop"_s)) << "the account is not renamed";
}

TEST_F(EditSiteTest, IdentifiersAbove32767WorkInBothBranches) {
    nextNumber = 40000;
    const QString number = makeSite(u"big"_s);
    form->RefreshSiteList();
    loadRow(u"big"_s);
    form->password->setText(u"Other77"_s);
    form->txtHostName->clear();
    h.dialogs.answer(platform::msgbox::Yes);
    press(form->Command3);
    EXPECT_EQ(root(number, u"AnonymousUserPass"_s).toString(), u"Other77"_s);
    EXPECT_EQ(extensions(number).filter(u".rmvb"_s).size(), 1);
    loadRow(u"big"_s);
    form->txtHostName->setText(u"big.org"_s);
    press(form->Command3);
    EXPECT_EQ(site(number, u"ServerBindings"_s).toStringList(), QStringList{u":80:big.org"_s});
    EXPECT_TRUE(warningFree());
}

TEST_F(EditSiteTest, SharedAndAdministratorAccountsKeepTheirPasswords) {
    const QString shared = makeSite(u"blog"_s, false);
    testing_support::SiteSpec admin;
    admin.name = u"Administrator"_s;
    admin.ownAccount = false;
    admin.anonymousUser = u"Administrator"_s;
    admin.anonymousPassword = u"AdminPw1"_s;
    admin.domains = {u"admin.example"_s};
    const QString adminSite = makeSite(admin);
    // A site that runs under another site's own account.
    makeSite(u"shop"_s);
    testing_support::SiteSpec borrower;
    borrower.name = u"borrower"_s;
    borrower.ownAccount = false;
    borrower.anonymousUser = u"shop"_s;
    borrower.anonymousPassword = u"Pw12345"_s;
    borrower.domains = {u"borrower.example"_s};
    makeSite(borrower);
    form->RefreshSiteList();
    const QString sharedPass = root(shared, u"AnonymousUserPass"_s).toString();
    const qsizetype journalBefore = h.journal().size();

    loadRow(u"blog"_s);
    form->password->setText(u"Hijack1"_s);
    press(form->Command3);
    loadRow(u"Administrator"_s);
    form->password->setText(u"Hijack1"_s);
    press(form->Command3);
    loadRow(u"borrower"_s);
    ASSERT_EQ(form->username->text(), u"shop"_s);
    form->password->setText(u"Hijack1"_s);
    press(form->Command3);
    EXPECT_TRUE(m().accounts().checkPassword(u"shop"_s, u"Pw12345"_s));
    EXPECT_EQ(h.journal().mid(journalBefore), QStringList()) << "no command line at all";
    EXPECT_FALSE(m().accounts().checkPassword(u"IUSR_VELMORA"_s, u"Hijack1"_s));
    EXPECT_FALSE(m().accounts().checkPassword(u"Administrator"_s, u"Hijack1"_s));
    EXPECT_EQ(root(shared, u"AnonymousUserName"_s).toString(), u"IUSR_VELMORA"_s);
    EXPECT_EQ(root(shared, u"AnonymousUserPass"_s).toString(), sharedPass);
    EXPECT_EQ(root(adminSite, u"AnonymousUserPass"_s).toString(), u"AdminPw1"_s);
    // The typed password was not used, and each report says so instead of announcing success.
    ASSERT_EQ(prompts().size(), 3);
    const char16_t* const accounts[] = {u"IUSR_VELMORA", u"Administrator", u"shop"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(h.dialogs.shown[i].title, u"警告"_s) << h.dialogs.shown[i].prompt.toStdString();
        EXPECT_TRUE(h.dialogs.shown[i].prompt.contains(
            u"密码未修改：账户 "_s + QString::fromUtf16(accounts[i]) + u" 不是本网站自己的账户"_s))
            << h.dialogs.shown[i].prompt.toStdString();
    }
    // The password as the row loaded it is no typed password: the edit is reported done.
    h.dialogs.shown.clear();
    loadRow(u"blog"_s);
    form->txtHostName->setText(u"blog.net"_s);
    press(form->Command3);
    EXPECT_TRUE(warningFree()) << prompts().join(u'|').toStdString();
    EXPECT_EQ(site(shared, u"ServerBindings"_s).toStringList(), QStringList{u":80:blog.net"_s});
}

TEST_F(EditSiteTest, APasswordThatNetWouldTakeForASwitchIsRefused) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    for (const QString& pass : {u"/delete"_s, u"/passwordreq:no"_s, u"/active:no"_s}) {
        loadRow(u"shop"_s);
        form->password->setText(pass);
        press(form->Command3);
        EXPECT_EQ(h.dialogs.shown.back().prompt, u"密码含有非法字符！"_s);
        EXPECT_EQ(h.dialogs.shown.back().title, u"系统信息"_s);
    }
    EXPECT_FALSE(passwordChanged());
    EXPECT_TRUE(accountExists(u"shop"_s));
    EXPECT_TRUE(m().accounts().checkPassword(u"shop"_s, u"Pw12345"_s));
    EXPECT_EQ(root(number, u"AnonymousUserPass"_s).toString(), u"Pw12345"_s);
}

TEST_F(EditSiteTest, ANameWithBlanksIsTheSitesNameAndTheDeleteTakesEverything) {
    // Made with its own account, pool and FTP directory.
    const QString number = makeSite(u"shop"_s, true, true);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    form->txtSiteName->setFocus();
    form->txtSiteName->end(false);
    QTest::keyClick(form->txtSiteName, Qt::Key_Space); // "shop "
    form->txtSiteName->home(false);
    QTest::keyClick(form->txtSiteName, Qt::Key_Space); // " shop "
    ASSERT_EQ(form->txtSiteName->text(), u" shop "_s);
    ASSERT_EQ(form->password->text(), u"Pw12345"_s) << "the account name did not change";
    form->txtHostName->setText(u"www.shop.com"_s);
    press(form->Command3);
    EXPECT_EQ(site(number, u"ServerComment"_s).toString(), u"shop"_s);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站 "_s + number + u" 修改成功!"_s);

    loadRow(u"shop"_s);
    press(form->Command2);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站 shop 删除成功!"_s);
    EXPECT_FALSE(exists(u"IIS://LocalHost/W3SVC/"_s + number));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_FALSE(exists(u"IIS://localhost/MSFTPSVC/1/ROOT/shop"_s));
    EXPECT_FALSE(exists(u"IIS://localhost/w3svc/AppPools/shop"_s));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop"_s));
}

TEST_F(EditSiteTest, ASiteStoredWithBlanksInItsNameIsDeletedWhole) {
    // Stored so by an earlier edit or another tool: the row shows "shop ".
    const QString number = makeSite(u"shop"_s, true, true);
    {
        auto stored = bind(u"IIS://LocalHost/W3SVC/"_s + number);
        stored->Put(u"ServerComment"_s, u"shop "_s);
        ASSERT_TRUE(stored->SetInfo().ok());
    }
    form->RefreshSiteList();
    loadRow(u"shop "_s);
    ASSERT_EQ(form->username->text(), u"shop"_s);
    press(form->Command2);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站 shop 删除成功!"_s);
    EXPECT_TRUE(warningFree()) << prompts().join(u'|').toStdString();
    EXPECT_FALSE(exists(u"IIS://LocalHost/W3SVC/"_s + number));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_FALSE(exists(u"IIS://localhost/MSFTPSVC/1/ROOT/shop"_s));
    EXPECT_FALSE(exists(u"IIS://localhost/w3svc/AppPools/shop"_s));
}

TEST_F(EditSiteTest, EnterOnTheRealNoDomainsQuestionKeepsTheBindings) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    platform::MessageBoxDialogs boxes;
    boxes.setParent(form);
    form->services.dialogs = &boxes;
    QString asked;
    bool escapeLeftItOpen = false;
    // The operator presses Escape (the box has no Cancel: nothing happens), then Enter.
    auto answerWithKeys = [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        asked = box->text();
        // The keys go where the box's focus is, as the operator's would.
        QWidget* focus = box->focusWidget() ? box->focusWidget() : box;
        QTest::keyClick(focus, Qt::Key_Escape);
        escapeLeftItOpen = box->isVisible();
        QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, Qt::Key_Return);
    };
    loadRow(u"shop"_s);
    form->txtHostName->clear();
    QTimer::singleShot(0, answerWithKeys);
    press(form->Command3);
    form->services.dialogs = &h.dialogs;
    EXPECT_EQ(asked, u"网站未绑定域名，是否继续！"_s);
    EXPECT_TRUE(escapeLeftItOpen);
    EXPECT_EQ(site(number, u"ServerBindings"_s).toStringList(),
              (QStringList{u":80:www.shop.com"_s, u":80:shop.com"_s}))
        << "Enter answered 否, the default";
    EXPECT_FALSE(passwordChanged());
}

TEST_F(EditSiteTest, RefusalsChangeNothing) {
    const QString number = makeSite(u"shop"_s);
    makeSite(u"blog"_s);
    form->RefreshSiteList();
    struct Case {
        QString name, domains, port, password, message;
    };
    const Case cases[] = {
        {u" BLOG"_s, u"shop.com"_s, u"80"_s, u"Pw12345"_s, u"该站点已经存在！"_s},
        {u"a/b"_s, u"shop.com"_s, u"80"_s, u"Pw12345"_s, u"网站名称含有非法字符！"_s},
        {u"shop"_s, u"shop.com"_s, u"0"_s, u"Pw12345"_s, u"端口必须是1到65535之间的数字！"_s},
        {u"shop"_s, u"shop.com&calc"_s, u"80"_s, u"Pw12345"_s, u"输入域名错误！"_s},
        {u"shop"_s, u"shop.com"_s, u"80"_s, u"p&net user x"_s, u"密码含有非法字符！"_s},
        {u"shop"_s, u"shop.com"_s, u"80"_s, QString(), u"密码不能为空！"_s},
    };
    for (const Case& c : cases) {
        loadRow(u"shop"_s);
        form->txtSiteName->setText(c.name);
        form->username->setText(u"shop"_s);
        form->txtHostName->setText(c.domains);
        form->txtSitePort->setText(c.port);
        form->password->setText(c.password);
        press(form->Command3);
        EXPECT_EQ(h.dialogs.shown.back().prompt, c.message);
        EXPECT_EQ(h.dialogs.shown.back().title, u"系统信息"_s);
        EXPECT_EQ(site(number, u"ServerComment"_s).toString(), u"shop"_s) << c.message.toStdString();
        EXPECT_EQ(site(number, u"ServerBindings"_s).toStringList().size(), 2) << c.message.toStdString();
    }
    EXPECT_FALSE(passwordChanged());
    EXPECT_TRUE(m().accounts().checkPassword(u"shop"_s, u"Pw12345"_s));
    // Several faults at once: the operator meets them in the order creation shows them.
    loadRow(u"shop"_s);
    form->txtHostName->setText(u"shop.com&x"_s);
    form->txtSitePort->setText(u"0"_s);
    form->password->setText(u"p&q"_s);
    press(form->Command3);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"密码含有非法字符！"_s);
    form->password->setText(u"Pw12345"_s);
    press(form->Command3);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"输入域名错误！"_s);
    form->txtHostName->setText(u"shop.com"_s);
    press(form->Command3);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"端口必须是1到65535之间的数字！"_s);
    form->txtSitePort->setText(u"80"_s);
    // Its own name in another letter case is no conflict.
    loadRow(u"shop"_s);
    form->txtSiteName->setText(u"SHOP"_s);
    form->username->setText(u"shop"_s);
    form->password->setText(u"Pw12345"_s);
    press(form->Command3);
    EXPECT_EQ(site(number, u"ServerComment"_s).toString(), u"SHOP"_s);
}

TEST_F(EditSiteTest, FailedStepsReachTheWarningReport) {
    const QString number = makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    ASSERT_TRUE(bind(u"IIS://LocalHost/W3SVC"_s)->Delete(u"IIsWebServer"_s, number).ok());
    press(form->Command3);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].title, u"警告"_s);
    EXPECT_TRUE(h.dialogs.shown[0].prompt.startsWith(u"网站 "_s + number + u" 修改未完成"_s))
        << h.dialogs.shown[0].prompt.toStdString();
    EXPECT_TRUE(h.dialogs.shown[0].prompt.contains(u"SetAnonymousUser"_s));
    EXPECT_FALSE(exists(u"IIS://LocalHost/W3SVC/"_s + number)) << "nothing made the site again";
}

} // namespace
