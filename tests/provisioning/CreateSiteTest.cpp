// The create button through the real window over a real machine: what the operator sees and what
// the machine holds afterwards.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseStore.h"
#include "settings/ReadIniValue.h"
#include "tests/support/CommandLines.h"
#include "tests/support/FormHarness.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using testing_support::ShownBox;

namespace {

constexpr int InfoOk = platform::msgbox::Information;

class CreateSite : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* f = nullptr;

    void SetUp() override { f = &h.start(); }

    // A root already secured and a count that calls for no securing: a press makes only the site.
    void settled() {
        f->state.RunStatus = u"True"_s;
        f->state.SecureCount = u"7"_s;
    }
    void fill(const QString& name, const QString& domains, const QString& pass = {}) {
        f->txtSiteName->setText(name);
        f->txtHostName->setText(domains);
        if (!pass.isNull()) {
            QTest::mouseClick(f->Check1, Qt::LeftButton, {}, QPoint(6, f->Check1->height() / 2));
            f->password->setText(pass);
        }
    }

    // What one press of the create button did.
    struct Press {
        QStringList lines;
        std::vector<int> waits;
        std::vector<ShownBox> boxes;
    };
    Press press() {
        const auto lines = h.journal().size();
        const auto waits = h.clock.waits().size();
        const auto boxes = h.dialogs.shown.size();
        QTest::mouseClick(f->Command1, Qt::LeftButton);
        Press p;
        p.lines = h.journal().mid(lines);
        p.waits.assign(h.clock.waits().begin() + static_cast<long>(waits), h.clock.waits().end());
        p.boxes.assign(h.dialogs.shown.begin() + static_cast<long>(boxes), h.dialogs.shown.end());
        return p;
    }

    QString prop(const QString& path, const QString& name) {
        auto o = h.machine->metabase().Bind(u"IIS://LocalHost/"_s + path);
        if (!o)
            return u"<no key>"_s;
        auto v = o.value()->Get(name);
        return v ? v.value().toString() : u"<none>"_s;
    }
    bool key(const QString& path) { return bool(h.machine->metabase().Bind(u"IIS://LocalHost/"_s + path)); }
    QStringList webChildren() {
        QStringList names;
        const auto children = h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value()->Children();
        for (const auto& c : children.value())
            names << c.Name;
        return names;
    }
    // The access list of a path as icacls prints it, without its summary line.
    QStringList icacls(const QString& path) {
        QStringList out;
        for (QString line : testing_support::run(h.machine.machine(), u"cmd.exe /c icacls \""_s + path + u'"')
                                .output.split(u"\r\n"_s)) {
            if (line.startsWith(path))
                line = line.mid(path.size());
            if (!line.trimmed().isEmpty() && !line.contains(u"已成功处理"_s))
                out << line.trimmed();
        }
        return out;
    }
    bool hostExists(const QString& windowsPath) {
        return QFileInfo::exists(h.machine->hostPath(windowsPath));
    }
};

const platform::MimeMapList ExtraMimeTypes = {
    {u".shtml"_s, u"text/html"_s},
    {u".shtm"_s, u"text/html"_s},
    {u".swf"_s, u"application/x-shockwave-flash"_s},
    {u".avi"_s, u"video/x-msvideo"_s},
    {u".mp4"_s, u"video/mp4"_s},
    {u".rm"_s, u"audio/x-pn-realaudio"_s},
    {u".rmvb"_s, u"audio/x-pn-realaudio"_s},
    {u".mp3"_s, u"audio/mpeg"_s},
};

TEST_F(CreateSite, PlainSiteWithSharedAccountAndOwnPool) {
    settled();
    fill(u"shop"_s, u"www.shop.com@shop.com"_s);
    const Press p = press();

    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"网站 shop 创建成功!"_s);
    EXPECT_EQ(p.boxes[0].style, InfoOk);
    EXPECT_EQ(p.boxes[0].title, u"Velmora"_s);

    // The site, its root application and its pool.
    EXPECT_EQ(h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC/10000"_s).value()->Class(),
              u"IIsWebServer"_s);
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"ServerComment"_s), u"shop"_s);
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"ServerBindings"_s), u":80:www.shop.com :80:shop.com"_s);
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"DefaultDoc"_s),
              u"Default.htm, Default.asp, Index.htm, Index.asp, Index.php,Index.html,Default.aspx,Index.aspx,"
              u"Default.html"_s);
    for (const QString& on : {u"AccessRead"_s, u"FrontPageWeb"_s, u"EnableDefaultDoc"_s, u"AccessScript"_s,
                              u"AspEnableParentPaths"_s})
        EXPECT_EQ(prop(u"W3SVC/10000"_s, on), u"True"_s) << on.toStdString();
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"AccessExecute"_s), u"False"_s);
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"ServerState"_s), u"2"_s);
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"appPoolID"_s), u"shop"_s);
    EXPECT_EQ(h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC/AppPools/shop"_s).value()->Class(),
              u"IIsApplicationPool"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"KeyType"_s), u"IIsWebVirtualDir"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\shop\\web"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"AppFriendlyName"_s), u"默认应用程序 shop"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"AppRoot"_s), u"/LM/W3SVC/10000/ROOT"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"AppIsolated"_s), u"0"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"HttpRedirect"_s), u"<none>"_s);
    const auto mime = h.machine->metabase()
                          .Bind(u"IIS://LocalHost/W3SVC/10000/ROOT"_s)
                          .value()
                          ->GetEx(u"MimeMap"_s)
                          .value();
    ASSERT_GE(mime.size(), 8);
    EXPECT_EQ(mime.mid(mime.size() - 8), ExtraMimeTypes);
    // No account of its own, no FTP directory: the shared account is the anonymous user.
    EXPECT_FALSE(h.machine->accounts().lookup(u"shop"_s));
    EXPECT_FALSE(key(u"MSFTPSVC/1/ROOT/shop"_s));
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);

    // Folders, default page and the shared account's grants.
    EXPECT_EQ(h.machine.readFile(u"D:\\WebRoot\\shop\\web\\index.html"_s),
              QByteArray("<html>默认首页</html>"));
    EXPECT_TRUE(QFileInfo(h.machine->hostPath(u"D:\\WebRoot\\shop\\log"_s)).isDir());
    const QStringList site = icacls(u"D:\\WebRoot\\shop"_s);
    ASSERT_GE(site.size(), 2);
    EXPECT_EQ(site[0], u"VELMORA\\IUSR_VELMORA:(OI)(CI)(DENY)(WEA,WA)"_s);
    EXPECT_EQ(site[1], u"VELMORA\\IUSR_VELMORA:(OI)(CI)(RC,S,RD,WD,REA,RA)"_s);
    const QStringList web = icacls(u"D:\\WebRoot\\shop\\web"_s);
    ASSERT_GE(web.size(), 2);
    EXPECT_EQ(web[0], u"VELMORA\\IUSR_VELMORA:(DENY)(DE)"_s);
    EXPECT_EQ(web[1], u"VELMORA\\IUSR_VELMORA:(OI)(CI)(GW,RC,WDAC,S,RD,REA,WEA,DC,RA,WA)"_s);

    // The list shows it; the form is emptied.
    EXPECT_EQ(
        h.row(2),
        u"启动|shop|10000|www.shop.com shop.com |IUSR_VELMORA|Qv7#mT2p!Lx9rB4e|D:\\WebRoot\\shop\\web"_s);
    EXPECT_TRUE(f->txtSiteName->text().isEmpty());
    EXPECT_FALSE(f->operation.has_value());
}

TEST_F(CreateSite, OwnAccountWithFtpRunsTheCommandsInOrderWithTheirWaits) {
    settled();
    f->SetupDefaultFtpSite(); // done at start-up: FtpSiteNumber is 1
    ASSERT_EQ(f->state.FtpSiteNumber, 1);
    fill(u"shop"_s, u"www.shop.com"_s, u"pw1"_s);
    QTest::mouseClick(f->Check3, Qt::LeftButton, {}, QPoint(6, f->Check3->height() / 2));
    const Press p = press();

    EXPECT_EQ(
        p.lines,
        (QStringList{
            u"cmd.exe /c MkDir \"D:\\WebRoot\\shop\\web\""_s,
            u"cmd.exe /c MkDir \"D:\\WebRoot\\shop\\log\""_s,
            u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html \"D:\\WebRoot\\shop\\web\\\""_s,
            // The journal never holds the password.
            u"cmd.exe /c net user shop ******** /add /fullname:\"Internet 来宾和FTP帐户\" "
            u"/comment:\"Velmora创建匿名访问 Internet 信息服务的帐户\"  /passwordchg:no"_s,
            u"cmd.exe /c net localgroup Users shop /delete"_s,
            u"cmd.exe /c net localgroup velmorausers shop /add"_s,
            u"cmd.exe /c icacls \"D:\\WebRoot\\shop\" /grant:r shop:(OI)(CI)(RA,REA,RC,RD,WD,S) "
            u"/deny shop:(OI)(CI)(WA,WEA)"_s,
            u"cmd.exe /c icacls \"D:\\WebRoot\\shop\\web \" /grant:r "
            u"shop:(OI)(CI)(RA,RC,REA,RD,DC,GW,WA,WEA,WDAC,S) /deny shop:(DE)"_s,
        }));
    // Folders 30, ProvisionSite 30, pool 100, account 100, grants 1000.
    EXPECT_EQ(p.waits, (std::vector<int>{30, 30, 100, 100, 1000}));
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"网站 shop 创建成功!"_s);

    const auto user = h.machine->accounts().lookup(u"shop"_s);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->fullName, u"Internet 来宾和FTP帐户"_s);
    EXPECT_EQ(user->comment, u"Velmora创建匿名访问 Internet 信息服务的帐户"_s);
    EXPECT_TRUE(user->flags & platform::userflags::DontExpirePasswd);
    EXPECT_TRUE(user->flags & platform::userflags::PasswdCantChange);
    EXPECT_TRUE(h.machine->accounts().checkPassword(u"shop"_s, u"pw1"_s));
    QStringList groups;
    for (const auto& g : h.machine->accounts().groupsOf(user->sid))
        groups << g.name;
    EXPECT_EQ(groups, QStringList{u"velmorausers"_s});
    for (const QString& path : {u"W3SVC/10000"_s, u"W3SVC/10000/ROOT"_s}) {
        EXPECT_EQ(prop(path, u"AuthFlags"_s), u"5"_s) << path.toStdString();
        EXPECT_EQ(prop(path, u"AnonymousUserName"_s), u"shop"_s);
        EXPECT_EQ(prop(path, u"AnonymousUserPass"_s), u"pw1"_s);
    }
    EXPECT_EQ(prop(u"MSFTPSVC/1/ROOT/shop"_s, u"KeyType"_s), u"IIsFtpVirtualDir"_s);
    EXPECT_EQ(prop(u"MSFTPSVC/1/ROOT/shop"_s, u"Path"_s), u"D:\\WebRoot\\shop"_s);
    EXPECT_EQ(prop(u"MSFTPSVC/1/ROOT/shop"_s, u"AccessRead"_s), u"True"_s);
    EXPECT_EQ(prop(u"MSFTPSVC/1/ROOT/shop"_s, u"AccessWrite"_s), u"True"_s);
    EXPECT_EQ(icacls(u"D:\\WebRoot\\shop"_s).mid(0, 2),
              (QStringList{u"VELMORA\\shop:(OI)(CI)(DENY)(WEA,WA)"_s,
                           u"VELMORA\\shop:(OI)(CI)(RC,S,RD,WD,REA,RA)"_s}));
    // The account reads the site, writes inside web, but cannot delete web itself.
    auto& files = h.machine->files();
    const auto webFolder = emulation::WinPath::parse(u"D:\\WebRoot\\shop\\web"_s);
    const auto page = emulation::WinPath::parse(u"D:\\WebRoot\\shop\\web\\index.html"_s);
    EXPECT_FALSE(files.rightsOf(user->sid, webFolder) & emulation::rights::Delete);
    EXPECT_TRUE(files.rightsOf(user->sid, webFolder) & emulation::rights::ReadData);
    EXPECT_TRUE(files.rightsOf(user->sid, page) & emulation::rights::WriteData);
    EXPECT_FALSE(files.rightsOf(user->sid, emulation::WinPath::parse(u"D:\\WebRoot\\shop"_s)) &
                 emulation::rights::WriteAttributes);
    EXPECT_EQ(h.row(2), u"启动|shop|10000|www.shop.com |shop|pw1|D:\\WebRoot\\shop\\web"_s);
}

TEST_F(CreateSite, RedirectSiteKeepsTheTargetText) {
    settled();
    fill(u"go"_s, u"go.com"_s);
    QTest::mouseClick(f->Check5, Qt::LeftButton, {}, QPoint(6, f->Check5->height() / 2));
    f->txtSitePath->setText(u"http://www.target.com"_s);
    const Press p = press();
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"网站 go 创建成功!"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"HttpRedirect"_s),
              u"http://www.target.com$S$Q, EXACT_DESTINATION, PERMANENT"_s);
    // Redirect mode unticks the pool box: no pool, no appPoolID.
    EXPECT_FALSE(key(u"W3SVC/AppPools/go"_s));
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"appPoolID"_s), u"DefaultAppPool"_s);
    // The folders come from the sites root, not from the target address in the path box.
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"Path"_s), u"D:\\WebRoot\\go\\web"_s);
    EXPECT_TRUE(p.lines.contains(
        u"cmd.exe /c icacls \"D:\\WebRoot\\go\" /grant:r IUSR_VELMORA:(OI)(CI)(RA,REA,RC,RD,WD,S) "
        u"/deny IUSR_VELMORA:(OI)(CI)(WA,WEA)"_s));
}

TEST_F(CreateSite, NumbersFollowTheHighestSiteAlsoAbove32767) {
    settled();
    auto service = h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    for (const QString& n : {u"10000"_s, u"10003"_s, u"40000"_s}) {
        auto s = service->Create(u"IIsWebServer"_s, n).value();
        s->Put(u"ServerComment"_s, u"old"_s + n);
        ASSERT_TRUE(s->SetInfo());
    }
    fill(u"shop"_s, u"shop.com"_s);
    press();
    EXPECT_EQ(prop(u"W3SVC/40001"_s, u"ServerComment"_s), u"shop"_s);
    EXPECT_EQ(f->state.SiteNumber, 40001);
    EXPECT_EQ(prop(u"W3SVC/40001"_s, u"ServerState"_s), u"2"_s);
    EXPECT_EQ(h.machine->metabase()
                  .Bind(u"IIS://LocalHost/W3SVC/40001/ROOT"_s)
                  .value()
                  ->GetEx(u"MimeMap"_s)
                  .value()
                  .last(),
              ExtraMimeTypes.last());
}

TEST_F(CreateSite, ATakenNameIsRefusedWhateverItsCaseOrBlanks) {
    settled();
    fill(u"shop"_s, u"shop.com"_s);
    press();
    for (const QString& again : {u"SHOP"_s, u"  Shop "_s}) {
        const QStringList before = webChildren();
        fill(again, u"other.com"_s, u"pw2"_s);
        const Press p = press();
        ASSERT_EQ(p.boxes.size(), 1u) << again.toStdString();
        EXPECT_EQ(p.boxes[0].prompt, u"该站点已经存在！"_s);
        EXPECT_EQ(p.boxes[0].title, u"系统信息"_s);
        EXPECT_EQ(p.boxes[0].style, InfoOk);
        EXPECT_EQ(webChildren(), before);
        EXPECT_TRUE(f->state.SiteExists);
        // No account, grant or report: only the folder commands ran.
        for (const QString& line : p.lines)
            EXPECT_TRUE(line.contains(u"MkDir"_s) || line.contains(u"copy"_s)) << line.toStdString();
        f->Check1->setChecked(false);
    }
    EXPECT_FALSE(h.machine->accounts().lookup(u"SHOP"_s));
}

TEST_F(CreateSite, CollidingBindingsLeaveTheSecondSiteStoppedAndTheReportSaysSo) {
    settled();
    fill(u"one"_s, u"same.com"_s);
    press();
    fill(u"two"_s, u"SAME.com"_s);
    const Press p = press();
    EXPECT_EQ(prop(u"W3SVC/10001"_s, u"ServerState"_s), u"4"_s);
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"ServerState"_s), u"2"_s);
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].title, u"警告"_s);
    EXPECT_TRUE(p.boxes[0].prompt.startsWith(u"网站 two 创建未完成"_s)) << p.boxes[0].prompt.toStdString();
    EXPECT_TRUE(p.boxes[0].prompt.contains(u"Start IIS://LocalHost/W3SVC/10001"_s))
        << p.boxes[0].prompt.toStdString();
    EXPECT_FALSE(p.boxes[0].prompt.contains(u"成功"_s));
    EXPECT_EQ(h.row(3).section(u'|', 0, 2), u"停止|two|10001"_s);
}

TEST_F(CreateSite, TheNameIsTrimmedOnceAndARootWithABlankStaysWhole) {
    settled();
    f->state.HomeRoot = u"D:\\Web Root"_s;
    fill(u"  my-shop  "_s, u"shop.com"_s, u"pw1"_s);
    // After a list click the path box holds another folder: the grants still use the sites root.
    f->txtSitePath->setText(u"C:\\elsewhere"_s);
    const Press p = press();
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"网站 my-shop 创建成功!"_s);
    EXPECT_TRUE(h.machine.readFile(u"D:\\Web Root\\my-shop\\web\\index.html"_s).startsWith("<html>"));
    EXPECT_TRUE(QFileInfo(h.machine->hostPath(u"D:\\Web Root\\my-shop\\log"_s)).isDir());
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"ServerComment"_s), u"my-shop"_s);
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"Path"_s), u"D:\\Web Root\\my-shop\\web"_s);
    EXPECT_TRUE(h.machine->accounts().lookup(u"my-shop"_s));
    EXPECT_EQ(icacls(u"D:\\Web Root\\my-shop"_s).first(), u"VELMORA\\my-shop:(OI)(CI)(DENY)(WEA,WA)"_s);
    EXPECT_FALSE(QDir(h.machine->hostPath(u"C:\\elsewhere"_s)).exists());
}

TEST_F(CreateSite, AnAccountNetUserCouldNotMakeGetsNoGrantsAndTheReportNamesIt) {
    settled();
    // Without net.exe the account command cannot run.
    ASSERT_TRUE(QFile::remove(h.machine->hostPath(u"C:\\WINDOWS\\system32\\net.exe"_s)));
    fill(u"shop"_s, u"shop.com"_s, u"pw1"_s);
    const Press p = press();
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].title, u"警告"_s);
    EXPECT_TRUE(p.boxes[0].prompt.contains(u"cmd.exe /c net user shop pw1 /add"_s))
        << p.boxes[0].prompt.toStdString();
    for (const QString& line : p.lines)
        EXPECT_FALSE(line.contains(u"icacls"_s) || line.contains(u"localgroup"_s)) << line.toStdString();
    EXPECT_EQ(prop(u"W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s), u"IUSR_VELMORA"_s);
}

TEST_F(CreateSite, TheGrantsReachTheSiteFolderAlsoWhenTheAccountBoxDiffers) {
    settled();
    fill(u"shop"_s, u"shop.com"_s);
    QTest::mouseClick(f->Check1, Qt::LeftButton, {}, QPoint(6, f->Check1->height() / 2));
    f->username->setText(u"clerk"_s); // as a clicked list row leaves it
    f->password->setText(u"pw1"_s);
    const Press p = press();
    QStringList grants;
    for (const QString& line : p.lines)
        if (line.contains(u"icacls"_s))
            grants << line;
    EXPECT_EQ(grants,
              (QStringList{
                  u"cmd.exe /c icacls \"D:\\WebRoot\\shop\" /grant:r clerk:(OI)(CI)(RA,REA,RC,RD,WD,S) "
                  u"/deny clerk:(OI)(CI)(WA,WEA)"_s,
                  u"cmd.exe /c icacls \"D:\\WebRoot\\shop\\web \" /grant:r "
                  u"clerk:(OI)(CI)(RA,RC,REA,RD,DC,GW,WA,WEA,WDAC,S) /deny clerk:(DE)"_s,
              }));
    // The rights went to the account that was made, on the site's own folders.
    const QStringList site = icacls(u"D:\\WebRoot\\shop"_s);
    ASSERT_GE(site.size(), 2);
    EXPECT_EQ(site[1], u"VELMORA\\clerk:(OI)(CI)(RC,S,RD,WD,REA,RA)"_s);
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"网站 shop 创建成功!"_s);
    EXPECT_FALSE(hostExists(u"D:\\WebRoot\\clerk"_s));
}

TEST_F(CreateSite, IisNotRunningAsksToRetryAndCancelEndsTheProgram) {
    settled();
    h.machine->setFact(u"service.w3svc"_s, u"stopped"_s);
    fill(u"shop"_s, u"shop.com"_s);
    h.dialogs.answer(platform::msgbox::Retry);
    h.dialogs.answer(platform::msgbox::Cancel);
    const Press p = press();
    ASSERT_EQ(p.boxes.size(), 2u);
    for (const auto& box : p.boxes) {
        EXPECT_EQ(box.prompt, u"本服务器的Internet Iformation Server 未启动，请启动后重试。"_s);
        EXPECT_EQ(box.style, platform::msgbox::RetryCancel);
        EXPECT_EQ(box.title, u"IIS服务未启动"_s);
    }
    EXPECT_EQ(h.end.ends, 1);
    h.machine->setFact(u"service.w3svc"_s, u"running"_s);
    EXPECT_FALSE(key(u"W3SVC/10000"_s));
}

TEST_F(CreateSite, SecuringTheRootFollowsTheCounter) {
    struct Case {
        const char16_t* runStatus;
        const char16_t* count;
        int securings;
        const char16_t* after;
    };
    for (const Case& c :
         {Case{u"False", u"4", 2, u"6"}, Case{u"True", u"5", 1, u"6"}, Case{u"True", u"7", 0, u"7"},
          Case{u"True", u"4.5", 0, u"4.5"}, Case{u"true", u"10", 1, u"11"}}) {
        f->state.RunStatus = QString::fromUtf16(c.runStatus);
        f->state.SecureCount = QString::fromUtf16(c.count);
        // An empty domain list stops the press right after the securing.
        fill(u"shop"_s, u""_s);
        const Press p = press();
        const auto securings = p.lines.filter(u"/remove:g administrators"_s).size();
        EXPECT_EQ(securings, c.securings) << QString::fromUtf16(c.count).toStdString();
        EXPECT_EQ(f->state.SecureCount, QString::fromUtf16(c.after));
        ASSERT_EQ(p.boxes.size(), 1u);
        EXPECT_EQ(p.boxes[0].prompt, u"域名不能为空！"_s);
        if (c.securings) {
            EXPECT_EQ(f->state.RunStatus, u"True"_s);
            EXPECT_EQ(settings::ReadIniValue(h.machine.profiles(), u"SiteNum"_s, u"Num"_s, std::nullopt),
                      QString::fromUtf16(c.after));
            EXPECT_EQ(
                settings::ReadIniValue(h.machine.profiles(), u"HomePath"_s, u"Run-Status"_s, std::nullopt),
                u"True"_s);
        }
    }
}

TEST_F(CreateSite, SecureHomeRootRunsItsFiveLinesWithTheirWaits) {
    f->state.RunStatus = u"False"_s;
    f->state.SecureCount = u"1"_s;
    fill(u"shop"_s, u"shop.com"_s);
    const Press p = press();
    // The usual sites root is there on a fresh server: the five lines come first.
    EXPECT_EQ(p.lines.mid(0, 5),
              (QStringList{
                  u"cmd.exe /c icacls \"D:\\WebRoot\" /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s,
                  u"cmd.exe /c icacls \"D:\\WebRoot\" /remove:g administrators"_s,
                  u"cmd.exe /c icacls \"D:\\WebRoot\" /remove:g system"_s,
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /r users"_s,
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /r \"CREATOR OWNER\""_s,
              }));
    EXPECT_EQ(std::vector<int>(p.waits.begin(), p.waits.begin() + 4), (std::vector<int>{20, 20, 20, 20}));
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"网站 shop 创建成功!"_s);
    EXPECT_EQ(f->state.SecureCount, u"2"_s);
    EXPECT_EQ(icacls(u"D:\\WebRoot"_s).first(), u"VELMORA\\IIS_WPG:(OI)(CI)(R)"_s);
}

// Everything the machine holds that a refused create could have touched.
struct MachineState {
    QStringList journal, accounts, keys, files;
    QByteArray settings;
    bool operator==(const MachineState&) const = default;
};

void listTree(const QString& folder, const QString& prefix, QStringList& out) {
    for (const QFileInfo& e :
         QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name)) {
        out << prefix + e.fileName();
        if (e.isDir())
            listTree(e.filePath(), prefix + e.fileName() + u'/', out);
    }
}

MachineState snapshot(testing_support::FormHarness& h) {
    MachineState s;
    s.journal = h.journal();
    s.accounts = h.machine->accounts().Win32UserAccountNames().valueOr({});
    auto db = h.machine->db().prepare("SELECT path, props FROM mb_keys ORDER BY id");
    while (db.step())
        s.keys << db.text(0) + u'=' + db.text(1);
    listTree(h.machine->drivesFolder(), {}, s.files);
    s.settings = h.settingsFile();
    return s;
}

TEST_F(CreateSite, UnsafeOrImpossibleInputIsRefusedBeforeAnythingChanges) {
    settled();
    struct Case {
        QString name, domains, password, port, homeRoot, message;
    };
    const QString illegal = u"网站名称含有非法字符！"_s;
    const QString none; // no password: Check1 stays unticked
    const std::vector<Case> cases = {
        {u"   "_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, u"网站名称不能为空！"_s},
        {u"a&net user x y /add"_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {u"a|b"_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {u"%systemroot%"_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {u"a\"b"_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {u".."_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {u"CON"_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {u"nul.site"_s, u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, illegal},
        {QString(300, u'a'), u"a.com"_s, none, u"80"_s, u"D:\\WebRoot"_s, u"网站路径太长！"_s},
        {QString(21, u'a'), u"a.com"_s, u"pw"_s, u"80"_s, u"D:\\WebRoot"_s, u"网站名称不能超过20个字符！"_s},
        {u"Administrator"_s, u"a.com"_s, u"pw"_s, u"80"_s, u"D:\\WebRoot"_s,
         u"账户 Administrator 已经存在！"_s},
        {u"iusr_velmora"_s, u"a.com"_s, u"pw"_s, u"80"_s, u"D:\\WebRoot"_s,
         u"账户 iusr_velmora 已经存在！"_s},
        {u"shop"_s, u"a.com"_s, u"p&net user evil p /add"_s, u"80"_s, u"D:\\WebRoot"_s,
         u"密码含有非法字符！"_s},
        // net user takes a password that begins with "/" for one of its switches.
        {u"shop"_s, u"a.com"_s, u"/passwordreq:no"_s, u"80"_s, u"D:\\WebRoot"_s, u"密码含有非法字符！"_s},
        {u"shop"_s, u"a.com"_s, u"/delete"_s, u"80"_s, u"D:\\WebRoot"_s, u"密码含有非法字符！"_s},
        {u"shop"_s, u"a.com&net user x y /add"_s, none, u"80"_s, u"D:\\WebRoot"_s, u"输入域名错误！"_s},
        {u"shop"_s, u"a.com"_s, none, u"65536"_s, u"D:\\WebRoot"_s, u"端口必须是1到65535之间的数字！"_s},
        {u"shop"_s, u"a.com"_s, none, u"8o"_s, u"D:\\WebRoot"_s, u"端口必须是1到65535之间的数字！"_s},
        {u"shop"_s, u"a.com"_s, none, u"0"_s, u"D:\\WebRoot"_s, u"端口必须是1到65535之间的数字！"_s},
        {u"shop"_s, u"a.com"_s, none, u"80"_s, u""_s, u"请先设置主目录！"_s},
        // A root from a hand-edited settings file that would end the quoted path.
        {u"shop"_s, u"a.com"_s, none, u"80"_s, u"D:\\Web\"&md x&\"Root"_s, u"路径含有非法字符！"_s},
        {u"shop"_s, u"a.com"_s, none, u"80"_s, u"D:\\%systemroot%"_s, u"路径含有非法字符！"_s},
        // The button's own checks come first.
        {u"a|b"_s, u"  "_s, none, u"80"_s, u"D:\\WebRoot"_s, u"域名不能为空！"_s},
        {u"a|b"_s, u"a.com"_s, u" "_s, u"80"_s, u"D:\\WebRoot"_s, u"密码不能为空！"_s},
    };
    for (const Case& c : cases) {
        f->state.HomeRoot = c.homeRoot;
        f->txtSitePort->setText(c.port);
        fill(c.name, c.domains, c.password);
        const MachineState before = snapshot(h);
        const Press p = press();
        const std::string label = c.name.left(30).toStdString() + " / " + c.message.toStdString();
        ASSERT_EQ(p.boxes.size(), 1u) << label;
        EXPECT_EQ(p.boxes[0].prompt, c.message) << label;
        EXPECT_EQ(p.boxes[0].style, InfoOk) << label;
        EXPECT_EQ(p.boxes[0].title, u"系统信息"_s) << label;
        EXPECT_TRUE(p.lines.isEmpty()) << label;
        EXPECT_TRUE(snapshot(h) == before) << label;
        EXPECT_FALSE(f->operation.has_value());
        f->Check1->setChecked(false);
    }
    EXPECT_FALSE(h.machine->accounts().lookup(u"x"_s));
    EXPECT_FALSE(h.machine->accounts().lookup(u"evil"_s));
    EXPECT_FALSE(h.machine->accounts().lookup(u"shop"_s));
}

TEST_F(CreateSite, ARedirectTargetThatWouldBreakTheHeaderIsRefused) {
    settled();
    QTest::mouseClick(f->Check5, Qt::LeftButton, {}, QPoint(6, f->Check5->height() / 2));
    for (const QString& target : {u"http://a.com/\r\nSet-Cookie:x=1"_s, u"http://a.com/ b"_s,
                                  u"http://a.com/\"x"_s, u"http://a.com/'x"_s, u"http://a.com/<script>"_s,
                                  u"http://a.com/,PERMANENT"_s, u"http://a.com/\tx"_s}) {
        fill(u"go"_s, u"go.com"_s);
        f->txtSitePath->setText(target);
        const MachineState before = snapshot(h);
        const Press p = press();
        ASSERT_EQ(p.boxes.size(), 1u) << target.toStdString();
        EXPECT_EQ(p.boxes[0].prompt, u"目标地址含有非法字符！"_s);
        EXPECT_EQ(p.boxes[0].title, u"系统信息"_s);
        EXPECT_TRUE(p.lines.isEmpty());
        EXPECT_TRUE(snapshot(h) == before) << target.toStdString();
    }
    EXPECT_FALSE(key(u"W3SVC/10000"_s));
    // The preset scheme alone is no unsafe text: it passes as it always did.
    fill(u"go"_s, u"go.com"_s);
    f->txtSitePath->setText(u"http://www.target.com/a?b=c&d=%20"_s);
    EXPECT_EQ(press().boxes.back().prompt, u"网站 go 创建成功!"_s);
}

TEST_F(CreateSite, AnFtpDirectoryThatCannotBeStoredIsNamedInTheWarning) {
    settled();
    fill(u"shop"_s, u"www.shop.com"_s, u"Pw12345"_s);
    QTest::mouseClick(f->Check3, Qt::LeftButton, {}, QPoint(6, f->Check3->height() / 2));
    ASSERT_TRUE(f->Check3->isChecked());
    // Another process holds the database's write lock from the grants' last wait on, so that the
    // FTP directory is made but cannot be stored.
    auto other = h.machine.reopen();
    h.machine->db().setBusyTimeout(0);
    bool locked = false;
    h.clock.duringWait([&](int ms) {
        if (ms == 1000 && !locked)
            locked = other->db().exec("BEGIN IMMEDIATE");
    });
    const Press p = press();
    ASSERT_TRUE(locked);
    ASSERT_TRUE(other->db().exec("ROLLBACK"));
    ASSERT_FALSE(p.boxes.empty());
    EXPECT_EQ(p.boxes.back().title, u"警告"_s);
    EXPECT_TRUE(p.boxes.back().prompt.startsWith(u"网站 shop 创建未完成，以下步骤失败：\n"_s))
        << p.boxes.back().prompt.toStdString();
    EXPECT_TRUE(
        p.boxes.back().prompt.contains(u"Create IIsFtpVirtualDir shop on IIS://localhost/MSFTPSVC/1/ROOT"_s))
        << p.boxes.back().prompt.toStdString();
    EXPECT_FALSE(key(u"MSFTPSVC/1/ROOT/shop"_s));
}

TEST_F(CreateSite, PortsAbove32767AreValid) {
    settled();
    f->txtSitePort->setText(u" 40000 "_s);
    fill(u"high"_s, u"high.com@"_s);
    press();
    EXPECT_EQ(prop(u"W3SVC/10000"_s, u"ServerBindings"_s), u":40000:high.com :40000:"_s);
}

class SitesRoot : public CreateSite {};

TEST_F(SitesRoot, AChosenFolderIsShownSecuredAndStored) {
    h.dialogs.folder(u"D:\\Sites"_s);
    const auto lines = h.journal().size();
    const auto waits = h.clock.waits().size();
    f->Menu_file_home->trigger();
    EXPECT_EQ(h.dialogs.browsed, std::vector<QString>{u"浏览目录"_s});
    EXPECT_EQ(f->txtSitePath->text(), u"D:\\Sites"_s);
    EXPECT_EQ(f->state.HomeRoot, u"D:\\Sites"_s);
    EXPECT_EQ(h.journal().mid(lines).size(), 6); // MkDir of the new root, then the five lines
    EXPECT_EQ(std::vector<int>(h.clock.waits().begin() + static_cast<long>(waits), h.clock.waits().end()),
              (std::vector<int>{20, 20, 20, 20, 50}));
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"主目录设置完成，请不要随意修改！"_s);
    EXPECT_EQ(h.dialogs.shown[0].title, u"提醒"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, InfoOk);
    auto ini = [&](const QString& section, const QString& k) {
        return settings::ReadIniValue(h.machine.profiles(), section, k, std::nullopt);
    };
    EXPECT_EQ(ini(u"HomePath"_s, u"PATH"_s), u"D:\\Sites"_s);
    EXPECT_EQ(ini(u"HomePath"_s, u"Run-Status"_s), u"True"_s);
    EXPECT_EQ(icacls(u"D:\\Sites"_s).first(), u"VELMORA\\IIS_WPG:(OI)(CI)(R)"_s);
    // The same folder again is secured again.
    const QString count = f->state.SecureCount;
    const auto again = h.journal().size();
    h.dialogs.folder(u"D:\\Sites"_s);
    f->Menu_file_home->trigger();
    EXPECT_EQ(f->state.SecureCount, QString::number(count.toInt() + 1));
    EXPECT_EQ(h.journal().mid(again).size(), 5); // the root is there now
}

TEST_F(SitesRoot, CancelOrATooLongPathShowsTheStoredRootAndSecuresNothing) {
    const MachineState before = snapshot(h);
    f->state.HomeRoot = u"X:\\unsaved"_s;
    f->Menu_file_home->trigger(); // cancelled
    EXPECT_EQ(f->state.HomeRoot, u"D:\\WebRoot"_s);
    EXPECT_EQ(f->txtSitePath->text(), u"D:\\WebRoot"_s);
    EXPECT_TRUE(h.dialogs.shown.empty());

    h.dialogs.folder(u"D:\\"_s + QString(254, u'a'));
    f->Menu_file_home->trigger();
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0].prompt, u"路径太长！"_s);
    EXPECT_EQ(h.dialogs.shown[0].title, u"系统信息"_s);
    EXPECT_EQ(h.dialogs.shown[0].style, InfoOk);
    EXPECT_EQ(f->state.HomeRoot, u"D:\\WebRoot"_s);
    EXPECT_TRUE(snapshot(h) == before);
}

TEST_F(CreateSite, ARootLockedAgainstTheOperatorAsksForRepair) {
    settled();
    // The first securing makes the root's entries its own; the second takes the operator's off.
    f->SecureHomeRoot(f->state.HomeRoot);
    f->SecureHomeRoot(f->state.HomeRoot);
    ASSERT_FALSE(h.machine->files().EntryExists(u"D:\\WebRoot\\shop"_s));

    fill(u"shop"_s, u"shop.com"_s);
    h.dialogs.answer(platform::msgbox::No);
    const MachineState before = snapshot(h);
    Press p = press();
    ASSERT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.boxes[0].prompt, u"主目录权限异常，无法创建！是否重新设置权限？"_s);
    EXPECT_EQ(p.boxes[0].title, u"错误"_s);
    EXPECT_EQ(p.boxes[0].style, platform::msgbox::YesNo | platform::msgbox::Critical);
    EXPECT_TRUE(snapshot(h) == before);
    EXPECT_FALSE(f->operation.has_value());

    h.dialogs.answer(platform::msgbox::Yes);
    p = press();
    EXPECT_EQ(p.lines.mid(0, 7),
              (QStringList{
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /c /g administrators:F"_s,
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /c /r IIS_WPG"_s,
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /c /g system:F"_s,
                  u"cmd.exe /c icacls \"D:\\WebRoot\" /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s,
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /r users"_s,
                  u"cmd.exe /c cacls \"D:\\WebRoot\" /t /e /r \"CREATOR OWNER\""_s,
                  u"cmd.exe /c MkDir \"D:\\WebRoot\\shop\\web\""_s,
              }));
    EXPECT_EQ(std::vector<int>(p.waits.begin(), p.waits.begin() + 3), (std::vector<int>{20, 30, 30}));
    ASSERT_EQ(p.boxes.size(), 2u);
    EXPECT_EQ(p.boxes[1].prompt, u"网站 shop 创建成功!"_s);
    EXPECT_TRUE(h.machine->files().EntryExists(u"D:\\WebRoot\\shop"_s).valueOr(false));
    EXPECT_TRUE(h.machine.readFile(u"D:\\WebRoot\\shop\\web\\index.html"_s).startsWith("<html>"));
    const QStringList root = icacls(u"D:\\WebRoot"_s);
    EXPECT_TRUE(root.contains(u"BUILTIN\\Administrators:(OI)(CI)(F)"_s)) << root.join(u'\n').toStdString();
    EXPECT_TRUE(root.contains(u"NT AUTHORITY\\SYSTEM:(OI)(CI)(F)"_s)) << root.join(u'\n').toStdString();
}

} // namespace
