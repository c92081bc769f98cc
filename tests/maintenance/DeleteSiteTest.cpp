// The delete button: its four paths, its messages, and that nothing outside the deleted site's
// own folder is ever removed.

#include "tests/maintenance/Sites.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

class DeleteSiteTest : public testing_support::MaintenanceTest {
protected:
    bool siteExists(const QString& number) { return exists(u"IIS://LocalHost/W3SVC/"_s + number); }
    bool poolExists(const QString& name) { return exists(u"IIS://localhost/w3svc/AppPools/"_s + name); }
    bool ftpDirExists(const QString& name) { return exists(u"IIS://localhost/MSFTPSVC/1/ROOT/"_s + name); }
    void expectOnlySuccess(const QString& name) {
        ASSERT_EQ(h.dialogs.shown.size(), 1u) << prompts().join(u" / "_s).toStdString();
        EXPECT_EQ(h.dialogs.shown[0].prompt, u"网站 "_s + name + u" 删除成功!"_s);
        EXPECT_EQ(h.dialogs.shown[0].style, 64);
        EXPECT_EQ(h.dialogs.shown[0].title, u"Velmora"_s);
    }
    // The "警告" report naming the failed steps; returns its text.
    QString warning() {
        for (const auto& b : h.dialogs.shown)
            if (b.title == u"警告"_s)
                return b.prompt;
        return {};
    }
};

TEST_F(DeleteSiteTest, SharedAccountRemovesSiteFolderAndPoolOnly) {
    const QString number = makeSite(u"blog"_s, false);
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"blog"_s);
    ASSERT_EQ(form->username->text(), u"IUSR_VELMORA"_s);
    const auto before = snapshot();
    press(form->Command2);
    expectOnlySuccess(u"blog"_s);
    EXPECT_FALSE(siteExists(number));
    EXPECT_FALSE(poolExists(u"blog"_s));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\blog"_s));
    EXPECT_TRUE(accountExists(u"IUSR_VELMORA"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/blog"_s}), QStringList());
    EXPECT_EQ(rowOf(u"blog"_s), -1) << "the list was rebuilt";
    EXPECT_EQ(form->readtable->text(), QString());
    EXPECT_EQ(form->txtSitePath->text(), u"D:\\WebRoot"_s);
    EXPECT_EQ(form->state.SelectedSiteId, QString());
    EXPECT_EQ(h.clock.waits(), (std::vector<int>{200, 200, 50}));
}

TEST_F(DeleteSiteTest, OwnAccountWithCheck3RemovesFtpDirectoryFolderAndAccount) {
    const QString number = makeSite(u"shop"_s, true, true);
    makeSite(u"blog"_s, true, true);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    ASSERT_TRUE(form->Check3->isChecked());
    const auto before = snapshot();
    press(form->Command2);
    expectOnlySuccess(u"shop"_s);
    EXPECT_FALSE(siteExists(number));
    EXPECT_FALSE(poolExists(u"shop"_s));
    EXPECT_FALSE(ftpDirExists(u"shop"_s));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop"_s));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_EQ(m().accounts().membersOf(m().accounts().lookup(u"velmorausers"_s)->sid).size(), 1)
        << "the deleted account left the group";
    EXPECT_TRUE(ftpDirExists(u"blog"_s));
    EXPECT_TRUE(accountExists(u"blog"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/shop"_s}), QStringList());
}

TEST_F(DeleteSiteTest, RunsNoCommandLineBeyondTheRevocation) {
    // Whether an account is a site's own is asked of the account database, not of "net localgroup".
    makeSite(u"shop"_s, true, true);
    makeSite(u"blog"_s, true, true);
    makeSite(u"news"_s, false);
    form->RefreshSiteList();
    const qsizetype before = h.journal().size();
    loadRow(u"shop"_s);
    press(form->Command2); // Check3: FTP directory, folder and account go
    loadRow(u"news"_s);
    press(form->Command2); // shared account: the folder goes
    EXPECT_EQ(h.journal().mid(before), QStringList());
    loadRow(u"blog"_s);
    form->Check3->setChecked(false);
    press(form->Command2); // still published: only the web workers lose their access
    EXPECT_EQ(h.journal().mid(before),
              QStringList{u"cmd.exe /c cacls \"D:\\WebRoot\\blog\" /t /e /c /r IIS_WPG"_s});
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_TRUE(accountExists(u"blog"_s));
    EXPECT_EQ(h.clock.waits(), (std::vector<int>{200, 200, 50, 50, 50})) << "one wait before each deletion";
    EXPECT_EQ(prompts(),
              (QStringList{u"网站 shop 删除成功!"_s, u"网站 news 删除成功!"_s, u"网站 blog 删除成功!"_s}));
}

TEST_F(DeleteSiteTest, ASiteGoneFromIisIsStillDeletedWithTheSuccessMessage) {
    const QString number = makeSite(u"shop"_s, true, true);
    makeSite(u"blog"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    ASSERT_TRUE(bind(u"IIS://LocalHost/W3SVC"_s)->Delete(u"IIsWebServer"_s, number).ok());
    const auto before = snapshot();
    press(form->Command2);
    expectOnlySuccess(u"shop"_s);
    EXPECT_FALSE(poolExists(u"shop"_s));
    EXPECT_FALSE(ftpDirExists(u"shop"_s));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/shop"_s}), QStringList());
}

TEST_F(DeleteSiteTest, OwnAccountWithoutCheck3KeepsAPublishedSitesFolderAccountAndFtpDirectory) {
    const QString number = makeSite(u"shop"_s, true, true);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    form->Check3->setChecked(false);
    const auto before = snapshot();
    press(form->Command2);
    expectOnlySuccess(u"shop"_s);
    EXPECT_FALSE(siteExists(number));
    EXPECT_FALSE(poolExists(u"shop"_s));
    EXPECT_TRUE(ftpDirExists(u"shop"_s));
    EXPECT_TRUE(accountExists(u"shop"_s));
    EXPECT_EQ(lost(before, snapshot()), QStringList());
    EXPECT_TRUE(h.journal().contains(u"cmd.exe /c cacls \"D:\\WebRoot\\shop\" /t /e /c /r IIS_WPG"_s));
}

TEST_F(DeleteSiteTest, OwnAccountWithoutCheck3OrFtpDirectoryRemovesFolderAndAccount) {
    const QString number = makeSite(u"shop"_s);
    makeSite(u"blog"_s);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    form->Check3->setChecked(false);
    const auto before = snapshot();
    press(form->Command2);
    expectOnlySuccess(u"shop"_s);
    EXPECT_FALSE(siteExists(number));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\shop"_s));
    EXPECT_FALSE(accountExists(u"shop"_s));
    EXPECT_TRUE(accountExists(u"blog"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/shop"_s}), QStringList());
    for (const QString& line : h.journal())
        EXPECT_FALSE(line.contains(u"cacls"_s)) << line.toStdString();
}

TEST_F(DeleteSiteTest, MessagesForAMissingNameAnEmptyNameAndAnEmptyList) {
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    form->txtSiteName->setText(u"Shop"_s); // differs in case only: not found
    press(form->Command2);
    EXPECT_EQ(prompts(), QStringList{u"网站 Shop 不存在!"_s});
    form->txtSiteName->clear();
    press(form->Command2);
    EXPECT_EQ(prompts().last(), u"请正确选择需要删除的站点！"_s);
    EXPECT_EQ(prompts().size(), 2);
    EXPECT_TRUE(exists(u"IIS://LocalHost/W3SVC/10000"_s));

    // No site at all: only the one message, whether or not a name was typed.
    auto service = bind(u"IIS://LocalHost/W3SVC"_s);
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"1"_s).ok());
    ASSERT_TRUE(service->Delete(u"IIsWebServer"_s, u"10000"_s).ok());
    form->RefreshSiteList();
    form->txtSiteName->setText(u"shop"_s);
    press(form->Command2);
    form->txtSiteName->clear();
    press(form->Command2);
    EXPECT_EQ(prompts().mid(2), (QStringList{u"服务器还未建立网站!"_s, u"服务器还未建立网站!"_s}));
    EXPECT_TRUE(folderExists(u"D:\\WebRoot\\shop"_s));
}

TEST_F(DeleteSiteTest, LastSiteRedirectModeAndTheCopyBox) {
    ASSERT_TRUE(bind(u"IIS://LocalHost/W3SVC"_s)->Delete(u"IIsWebServer"_s, u"1"_s).ok());
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    click(rowOf(u"shop"_s), 1); // the copy box shows the name
    loadRow(u"shop"_s);
    form->Check5->setChecked(true);
    form->txtSitePath->setText(u"http://example.org"_s);
    form->readtable->setText(u"left over"_s);
    press(form->Command2);
    expectOnlySuccess(u"shop"_s);
    EXPECT_EQ(form->Label10->text(), u"0"_s);
    EXPECT_EQ(form->txtSitePath->text(), u"http://example.org"_s) << "redirect mode keeps the path box";
    EXPECT_EQ(form->readtable->text(), QString());
}

TEST_F(DeleteSiteTest, StoppedIisRemovesNothing) {
    const QString number = makeSite(u"shop"_s, true, true);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    const auto before = snapshot();
    m().setFact(u"service.iisadmin"_s, u"stopped"_s);
    press(form->Command2);
    ASSERT_EQ(h.dialogs.shown.size(), 1u) << prompts().join(u" / "_s).toStdString();
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"本服务器的Internet Iformation Server 未启动，删除失败！"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, 48);
    EXPECT_EQ(h.dialogs.shown[0].title, u"IIS服务未启动"_s);
    EXPECT_EQ(h.clock.waits(), (std::vector<int>{200, 200, 50, 1000, 1000})) << "three binds a second apart";
    m().setFact(u"service.iisadmin"_s, u"running"_s);
    EXPECT_TRUE(siteExists(number));
    EXPECT_TRUE(poolExists(u"shop"_s));
    EXPECT_TRUE(ftpDirExists(u"shop"_s));
    EXPECT_TRUE(accountExists(u"shop"_s));
    EXPECT_EQ(lost(before, snapshot()), QStringList());
}

TEST_F(DeleteSiteTest, OnlySiteAccountsAreDeleted) {
    // A site named like the built-in administrator, using that account.
    testing_support::SiteSpec admin;
    admin.name = u"Administrator"_s;
    admin.ownAccount = false;
    admin.anonymousUser = u"Administrator"_s;
    const QString number = makeSite(admin);
    // An account named like its site, but not made for it (not in velmorausers).
    makeSite(u"guest2"_s, false);
    cmd(u"net user guest2 Pw12345 /add"_s);
    auto root = bind(u"IIS://LocalHost/W3SVC/10001/ROOT"_s);
    root->Put(u"AnonymousUserName"_s, u"guest2"_s);
    ASSERT_TRUE(root->SetInfo().ok());
    form->RefreshSiteList();
    for (const QString& name : {u"Administrator"_s, u"guest2"_s}) {
        loadRow(name);
        ASSERT_EQ(form->username->text(), name);
        form->Check3->setChecked(false);
        press(form->Command2);
        EXPECT_TRUE(accountExists(name)) << name.toStdString();
    }
    EXPECT_FALSE(exists(u"IIS://LocalHost/W3SVC/"_s + number));
}

TEST_F(DeleteSiteTest, FailedStepsReachTheWarningReport) {
    testing_support::SiteSpec s;
    s.name = u"moved"_s;
    s.directory = u"D:\\WebRoot"_s; // changed by hand to the sites root
    s.ftp = true;
    const QString number = makeSite(s);
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"moved"_s);
    const auto before = snapshot();
    press(form->Command2);
    const QString report = warning();
    EXPECT_TRUE(report.startsWith(u"网站 moved 删除未完成，以下步骤失败："_s)) << report.toStdString();
    EXPECT_TRUE(report.contains(u"DeleteFolderTree"_s)) << report.toStdString();
    EXPECT_FALSE(siteExists(number));
    EXPECT_FALSE(ftpDirExists(u"moved"_s));
    EXPECT_EQ(lost(before, snapshot()), QStringList()) << "not a file of the sites root was removed";
}

// Safety: each case ends with every other site's files in place.

TEST_F(DeleteSiteTest, NamesDifferingOnlyInCaseShareAFolderThatStays) {
    const QString upper = makeSite(u"Shop"_s, true, true);
    const QString lower = makeSite(u"shop"_s, true);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    const auto before = snapshot();
    press(form->Command2);
    EXPECT_FALSE(siteExists(lower));
    EXPECT_TRUE(siteExists(upper));
    EXPECT_TRUE(poolExists(u"Shop"_s)) << "Shop still runs in the pool";
    EXPECT_TRUE(accountExists(u"Shop"_s)) << "Shop still uses the account";
    EXPECT_TRUE(ftpDirExists(u"Shop"_s)) << "Shop is still published";
    EXPECT_EQ(lost(before, snapshot()), QStringList());
    EXPECT_FALSE(warning().isEmpty());

    // Without Check3, Shop's folder keeps its web worker access: no cacls runs.
    const QString again = makeSite(u"shop"_s, true);
    form->RefreshSiteList();
    loadRow(u"shop"_s);
    form->Check3->setChecked(false);
    press(form->Command2);
    EXPECT_FALSE(siteExists(again));
    for (const QString& line : h.journal())
        EXPECT_FALSE(line.contains(u"cacls"_s)) << line.toStdString();
    EXPECT_TRUE(ftpDirExists(u"Shop"_s));
    EXPECT_EQ(lost(before, snapshot()), QStringList());
}

TEST_F(DeleteSiteTest, NameTypedAfterClickingAnotherRow) {
    makeSite(u"alpha"_s, true, true);
    const QString beta = makeSite(u"beta"_s);
    form->RefreshSiteList();
    loadRow(u"alpha"_s);
    form->txtSiteName->setText(u"beta"_s);
    const auto before = snapshot();
    press(form->Command2);
    EXPECT_FALSE(siteExists(beta));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\beta"_s)) << "the named site's own folder, from its row";
    EXPECT_TRUE(folderExists(u"D:\\WebRoot\\alpha"_s));
    EXPECT_TRUE(ftpDirExists(u"alpha"_s));
    EXPECT_TRUE(accountExists(u"alpha"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/beta"_s}), QStringList());
}

TEST_F(DeleteSiteTest, StaleSelectionFromAnEarlierDeletion) {
    makeSite(u"alpha"_s, true, true);
    makeSite(u"beta"_s);
    form->RefreshSiteList();
    loadRow(u"alpha"_s);
    press(form->Command2);
    ASSERT_FALSE(folderExists(u"D:\\WebRoot\\alpha"_s));
    // alpha is made again in the same folder; beta is deleted by name, without a click.
    makeSite(u"alpha"_s, true, false);
    form->RefreshSiteList();
    form->txtSiteName->setText(u"beta"_s);
    form->Check3->setChecked(true);
    const auto before = snapshot();
    press(form->Command2);
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\beta"_s));
    EXPECT_TRUE(folderExists(u"D:\\WebRoot\\alpha\\web"_s));
    EXPECT_EQ(form->state.FtpDirPath, QString()) << "read afresh: beta has no FTP directory";
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/beta"_s}), QStringList());
}

TEST_F(DeleteSiteTest, DefaultSiteKeepsItsFolder) {
    makeSite(u"shop"_s);
    form->RefreshSiteList();
    loadRow(u"默认网站"_s);
    const auto before = snapshot();
    press(form->Command2);
    EXPECT_FALSE(exists(u"IIS://LocalHost/W3SVC/1"_s));
    EXPECT_TRUE(accountExists(u"IUSR_VELMORA"_s));
    EXPECT_TRUE(poolExists(u"DefaultAppPool"_s));
    EXPECT_EQ(lost(before, snapshot()), QStringList()) << "c:\\inetpub\\wwwroot is not under the sites root";
    EXPECT_TRUE(warning().contains(u"DeleteFolderTree"_s));
}

TEST_F(DeleteSiteTest, DirectoryChangedByHandToTheDriveRootOrTheSitesRoot) {
    for (const QString& dir : {u"D:\\"_s, u"D:\\WebRoot\\web"_s, u"D:\\web"_s}) {
        testing_support::SiteSpec s;
        s.name = u"moved"_s;
        s.directory = dir;
        const QString number = makeSite(s);
        makeSite(u"shop"_s);
        form->RefreshSiteList();
        loadRow(u"moved"_s);
        const auto before = snapshot();
        press(form->Command2);
        EXPECT_FALSE(siteExists(number)) << dir.toStdString();
        EXPECT_EQ(lost(before, snapshot()), QStringList()) << dir.toStdString();
        EXPECT_TRUE(folderExists(u"D:\\WebRoot\\moved"_s)) << dir.toStdString();
        // Next round on a clean slate.
        auto service = bind(u"IIS://LocalHost/W3SVC"_s);
        service->Delete(u"IIsWebServer"_s, QString::number(nextNumber - 1));
        cmd(u"net user moved /delete"_s);
        h.dialogs.shown.clear();
    }
}

TEST_F(DeleteSiteTest, SitesRootOnTheDriveRoot) {
    h.machine.profiles().WritePrivateProfileString(u"HomePath"_s, u"PATH"_s, u"D:\\"_s,
                                                   settings::SettingsFile);
    form->state.HomeRoot = u"D:\\"_s;
    testing_support::SiteSpec a;
    a.name = u"alpha"_s;
    a.sitesRoot = u"D:\\"_s;
    const QString alpha = makeSite(a);
    testing_support::SiteSpec b = a;
    b.name = u"beta"_s;
    makeSite(b);
    h.machine.writeFile(u"D:\\notes.txt"_s, "keep");
    form->RefreshSiteList();
    loadRow(u"alpha"_s);
    const auto before = snapshot();
    press(form->Command2);
    expectOnlySuccess(u"alpha"_s);
    EXPECT_FALSE(siteExists(alpha));
    EXPECT_FALSE(folderExists(u"D:\\alpha"_s));
    EXPECT_TRUE(folderExists(u"D:\\beta\\web"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/alpha"_s}), QStringList());
    EXPECT_EQ(form->txtSitePath->text(), u"D:\\"_s);
}

TEST_F(DeleteSiteTest, FtpDirectoryPointingOutsideTheSiteIsNotDeleted) {
    makeSite(u"shop"_s);
    const QString number = makeSite(u"blog"_s, true, true);
    auto dir = bind(u"IIS://localhost/MSFTPSVC/1/ROOT/blog"_s);
    dir->Put(u"Path"_s, u"D:\\WebRoot\\shop"_s);
    ASSERT_TRUE(dir->SetInfo().ok());
    form->RefreshSiteList();
    loadRow(u"blog"_s);
    const auto before = snapshot();
    press(form->Command2);
    EXPECT_FALSE(siteExists(number));
    EXPECT_FALSE(folderExists(u"D:\\WebRoot\\blog"_s));
    EXPECT_TRUE(folderExists(u"D:\\WebRoot\\shop\\web"_s));
    EXPECT_EQ(lost(before, snapshot(), {u"/D/WebRoot/blog"_s}), QStringList());
    EXPECT_TRUE(warning().contains(u"D:\\WebRoot\\shop"_s)) << warning().toStdString();
}

} // namespace
