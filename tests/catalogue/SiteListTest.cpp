// The site list and the result report, on the real window over a real machine.

#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/FormHarness.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;

namespace {

class SiteListTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* form = nullptr;

    void SetUp() override { form = &h.build(); }

    // A site as the program makes it: bindings, state and a root with its anonymous account.
    void addSite(const QString& number, const QString& comment, const QStringList& bindings, int state,
                 bool withRoot = true) {
        auto service = h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
        auto site = service->Create(u"IIsWebServer"_s, number).value();
        if (!comment.isNull())
            site->Put(u"ServerComment"_s, comment);
        site->Put(u"ServerBindings"_s, MetaValue(bindings));
        site->Put(u"ServerState"_s, MetaValue(static_cast<std::uint32_t>(state)));
        ASSERT_TRUE(site->SetInfo().ok());
        if (!withRoot)
            return;
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, u"D:\\WebRoot\\"_s + comment + u"\\web"_s);
        root->Put(u"AnonymousUserName"_s, u"u"_s + number);
        root->Put(u"AnonymousUserPass"_s, u"p"_s + number);
        ASSERT_TRUE(root->SetInfo().ok());
    }
    // Removes the sites a case added, so that the next case starts from the default site alone.
    struct TempSites {
        SiteListTest& t;
        ~TempSites() {
            auto service = t.h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
            for (const char16_t* n : {u"10000", u"10001", u"10002"})
                service->Delete(u"IIsWebServer"_s, QString::fromUtf16(n));
        }
    };
    void removeDefaultSite() {
        ASSERT_TRUE(h.machine->metabase()
                        .Bind(u"IIS://LocalHost/W3SVC"_s)
                        .value()
                        ->Delete(u"IIsWebServer"_s, u"1"_s));
    }
};

TEST_F(SiteListTest, HeaderRowAndColumnWidths) {
    form->RefreshSiteList();
    EXPECT_EQ(h.row(0), u"状态|网站名称|标识符|绑定域名|匿名用户|密 码|网站目录"_s);
    const int widths[] = {500, 1800, 800, 2250, 1550, 1580, 2850};
    for (int c = 0; c < 7; ++c)
        EXPECT_NEAR(form->MSFlexGrid1->ColWidth(c), widths[c], 15) << c;
}

TEST_F(SiteListTest, NoSitesLeavesTheHeaderAndOneEmptyRow) {
    removeDefaultSite();
    form->RefreshSiteList();
    EXPECT_EQ(form->MSFlexGrid1->Rows(), 2);
    EXPECT_EQ(h.row(1), u"||||||"_s);
    EXPECT_EQ(form->Label10->text(), u"0"_s);
}

TEST_F(SiteListTest, EverySiteWithItsStateDomainsAccountAndFolder) {
    addSite(u"10000"_s, u"shop"_s, {u":80:A.com"_s, u":80:b.com"_s, u"10.0.0.5:80:"_s}, 2);
    addSite(u"10001"_s, u"blog"_s, {u":8080:blog.net"_s}, 4);
    addSite(u"10002"_s, u"wiki"_s, {}, 6);
    addSite(u"10003"_s, u"moving"_s, {u":80:m.org"_s}, 1); // starting: a transition state
    form->RefreshSiteList();
    EXPECT_EQ(h.row(1), u"启动|默认网站|1| |IUSR_VELMORA|Qv7#mT2p!Lx9rB4e|c:\\inetpub\\wwwroot"_s)
        << "the default site's root inherits the web service's account";
    EXPECT_EQ(h.row(2), u"启动|shop|10000|A.com b.com  |u10000|p10000|D:\\WebRoot\\shop\\web"_s);
    EXPECT_EQ(h.row(3), u"停止|blog|10001|blog.net |u10001|p10001|D:\\WebRoot\\blog\\web"_s);
    EXPECT_EQ(h.row(4), u"暂停|wiki|10002||u10002|p10002|D:\\WebRoot\\wiki\\web"_s);
    EXPECT_EQ(h.row(5).section(u'|', 0, 2), u"|moving|10003"_s);
    EXPECT_EQ(form->MSFlexGrid1->Rows(), 7);
    EXPECT_EQ(form->Label10->text(), u"5"_s);
    EXPECT_EQ(h.row(6), u"||||||"_s);
}

TEST_F(SiteListTest, NamelessSiteGetsNoRowOfItsOwn) {
    // An empty name and a single blank both count as no name; only the blank shows an identifier.
    for (const QString& nameless : {QString(u""_s), QString(u" "_s)}) {
        SCOPED_TRACE("name \"" + nameless.toStdString() + "\"");
        TempSites sites(*this);
        addSite(u"10000"_s, nameless, {u":80:hidden.com"_s}, 2);
        addSite(u"10001"_s, u"next"_s, {u":80:next.com"_s}, 4);
        form->RefreshSiteList();
        EXPECT_EQ(h.row(2), u"停止|next|10001|next.com |u10001|p10001|D:\\WebRoot\\next\\web"_s)
            << "the next site overwrites what the nameless one wrote";
        EXPECT_EQ(form->Label10->text(), u"2"_s);
        // As the last child, its values stay in the trailing row, which is not counted.
        addSite(u"10002"_s, nameless, {u":80:last.com"_s}, 6);
        form->RefreshSiteList();
        EXPECT_EQ(h.row(3), u"暂停|"_s + nameless + u"|"_s + (nameless.isEmpty() ? QString() : u"10002"_s) +
                                u"|last.com |u10002|p10002|D:\\WebRoot\\"_s + nameless + u"\\web"_s);
        EXPECT_EQ(form->MSFlexGrid1->Rows(), 4);
        EXPECT_EQ(form->Label10->text(), u"2"_s);
    }
}

TEST_F(SiteListTest, ASiteWhoseRootCannotBeBoundNeverShowsAnotherSitesCells) {
    addSite(u"10000"_s, QString(), {u":80:hidden.com"_s}, 2); // leaves its cells in the row
    addSite(u"10001"_s, u"rootless"_s, {u":80:r.com"_s}, 4, false);
    form->RefreshSiteList();
    EXPECT_EQ(h.row(2), u"停止|rootless|10001|r.com |||"_s);
}

TEST_F(SiteListTest, StoppedWebServiceLeavesAnEmptyList) {
    h.machine->setFact(u"service.iisadmin"_s, u"stopped"_s);
    form->RefreshSiteList();
    EXPECT_EQ(form->MSFlexGrid1->Rows(), 2);
    EXPECT_EQ(form->Label10->text(), u"0"_s);
    EXPECT_TRUE(h.dialogs.shown.empty()) << "a refresh never reports an error";
}

TEST_F(SiteListTest, ReportResultAnnouncesSuccessAndResetsTheForm) {
    form->show();
    form->state.CreatedSiteName = u" shop"_s;
    form->txtSiteName->setText(u"shop"_s);
    form->Check3->setChecked(true); // ticks Check1 too
    form->password->setText(u"pw"_s);
    form->state.SelectedSiteId = u"10000"_s;
    form->operation.emplace();
    form->ReportResult(u"creat"_s);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"网站  shop 创建成功!"_s) << "names the created site, as typed";
    EXPECT_EQ(h.dialogs.shown[0].style, 64);
    EXPECT_EQ(h.dialogs.shown[0].title, u"Velmora"_s);
    EXPECT_EQ(form->txtSiteName->text(), QString());
    EXPECT_EQ(form->txtHostName->text(), QString());
    EXPECT_EQ(form->username->text(), QString());
    EXPECT_FALSE(form->Check1->isChecked());
    EXPECT_FALSE(form->Check3->isChecked());
    EXPECT_FALSE(form->password->isEnabled()) << "the Check1 reaction ran";
    EXPECT_EQ(form->state.SelectedSiteId, QString());
    EXPECT_EQ(form->Label10->text(), u"1"_s) << "the list was rebuilt";
    EXPECT_FALSE(form->operation.has_value());
}

TEST_F(SiteListTest, ReportResultModes) {
    form->txtSiteName->setText(u"gone"_s);
    form->ReportResult(u"delet"_s);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站 gone 删除成功!"_s);
    EXPECT_TRUE(form->state.DeleteReported);
    form->state.SelectedSiteId = u"10004"_s;
    form->ReportResult(u"Editweb"_s);
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"网站 10004 修改成功!"_s);
    const auto before = h.dialogs.shown.size();
    form->txtSiteName->setText(u"x"_s);
    form->ReportResult(u"Creat"_s); // modes compare with letter case
    EXPECT_EQ(h.dialogs.shown.size(), before);
    EXPECT_EQ(form->txtSiteName->text(), QString()) << "fields are emptied all the same";
}

TEST_F(SiteListTest, FailedStepsAreReportedInsteadOfSuccess) {
    form->state.CreatedSiteName = u"shop"_s;
    form->operation.emplace();
    form->RunHidden(u"cmd.exe /c MkDir D:\\WebRoot\\shop\\web"_s);
    form->RunHidden(u"cmd.exe /c MkDir D:\\WebRoot\\shop\\web"_s); // exists: did its job
    form->RunHidden(u"cmd.exe /c icacls \"D:\\WebRoot\\shop\" /grant:r nobody:(OI)(CI)(RD)"_s);
    form->operation->step(u"Start IIS://LocalHost/W3SVC/10000"_s,
                          platform::Error{0x800700B7, u"当文件已存在时，无法创建该文件。"_s});
    form->ReportResult(u"creat"_s);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].style, 48);
    EXPECT_EQ(h.dialogs.shown[0].title, u"警告"_s);
    EXPECT_EQ(h.dialogs.shown[0].prompt,
              u"网站 shop 创建未完成，以下步骤失败：\n"
              "cmd.exe /c icacls \"D:\\WebRoot\\shop\" /grant:r nobody:(OI)(CI)(RD)：退出代码 1332："
              "nobody: 帐户名与安全标识间无任何映射完成。\n"
              "Start IIS://LocalHost/W3SVC/10000：当文件已存在时，无法创建该文件。 (0x800700B7)"_s);
    EXPECT_EQ(form->txtSiteName->text(), QString()) << "then it goes on as after success";

    form->txtSiteName->setText(u"old"_s);
    form->operation.emplace();
    form->RunHidden(u"cmd.exe /c cacls \"D:\\WebRoot\\old\" /t /e /c /r IIS_WPG"_s);
    form->ReportResult(u"delet"_s);
    EXPECT_TRUE(h.dialogs.shown.back().prompt.startsWith(u"网站 old 删除未完成，以下步骤失败：\n"_s));
    EXPECT_TRUE(form->state.DeleteReported);
}

} // namespace
