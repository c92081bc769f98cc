// The task units of site creation over a real machine: MIME types, anonymous user, account
// flags, application pools, and the input checks.

#include "emulation/accounts/AccountStore.h"
#include "emulation/metabase/MetabaseStore.h"
#include "platform/Metabase.h"
#include "provisioning/AppPool.h"
#include "provisioning/InputChecks.h"
#include "provisioning/addmime.h"
#include "tests/support/CommandLines.h"
#include "tests/support/TempMachine.h"
#include "tests/support/VirtualClock.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// A site with its root, as the create button leaves it before the MIME types.
void makeSite(emulation::Machine& m, const QString& number) {
    auto service = m.metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    auto site = service->Create(u"IIsWebServer"_s, number).value();
    site->Put(u"ServerComment"_s, u"site"_s + number);
    ASSERT_TRUE(site->SetInfo());
    auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
    ASSERT_TRUE(root->SetInfo());
}

// Runs command lines on the machine and keeps them in order.
AppPool::RunCommand recording(emulation::Machine& m, QStringList& lines) {
    return [&m, &lines](const QString& line) {
        lines << line;
        return m.interpreter().RunHidden(line);
    };
}

platform::MimeMapList ownMimeMap(emulation::Machine& m, const QString& number) {
    auto root = m.metabase().Bind(u"IIS://LocalHost/W3SVC/"_s + number + u"/ROOT"_s).value();
    return root->GetEx(u"MimeMap"_s).valueOr({});
}

TEST(AddMimeTypes, AppendsTheEightPairsInOrderAfterTheInheritedList) {
    testing_support::TempMachine m;
    makeSite(m.machine(), u"10000"_s);
    const auto inherited = ownMimeMap(m.machine(), u"10000"_s);
    ASSERT_FALSE(inherited.isEmpty()); // the machine's default list
    ASSERT_TRUE(addmime::AddMimeTypes(m->metabase(), 10000));
    const auto list = ownMimeMap(m.machine(), u"10000"_s);
    ASSERT_EQ(list.size(), inherited.size() + 8);
    EXPECT_EQ(list.mid(0, inherited.size()), inherited);
    const platform::MimeMapList added = {
        {u".shtml"_s, u"text/html"_s},
        {u".shtm"_s, u"text/html"_s},
        {u".swf"_s, u"application/x-shockwave-flash"_s},
        {u".avi"_s, u"video/x-msvideo"_s},
        {u".mp4"_s, u"video/mp4"_s},
        {u".rm"_s, u"audio/x-pn-realaudio"_s},
        {u".rmvb"_s, u"audio/x-pn-realaudio"_s},
        {u".mp3"_s, u"audio/mpeg"_s},
    };
    EXPECT_EQ(list.mid(inherited.size()), added);
    // Stored on the root itself: the site key and the machine's list are unchanged.
    auto machineList = m->metabase().bindPath(u"/LM/MimeMap"_s).value()->GetEx(u"MimeMap"_s).value();
    EXPECT_EQ(machineList, inherited);
}

TEST(AddMimeTypes, ASecondRunAndAnyLetterCaseAddNoDuplicate) {
    testing_support::TempMachine m;
    makeSite(m.machine(), u"10000"_s);
    auto root = m->metabase().Bind(u"IIS://LocalHost/W3SVC/10000/ROOT"_s).value();
    root->PutEx(platform::PutExControl::Update, u"MimeMap"_s, {{u".MP3"_s, u"audio/x-mp3"_s}});
    ASSERT_TRUE(root->SetInfo());
    ASSERT_TRUE(addmime::AddMimeTypes(m->metabase(), 10000));
    ASSERT_TRUE(addmime::AddMimeTypes(m->metabase(), 10000));
    const auto list = ownMimeMap(m.machine(), u"10000"_s);
    ASSERT_EQ(list.size(), 8);
    EXPECT_EQ(list.first(), (platform::MimeMapEntry{u".MP3"_s, u"audio/x-mp3"_s})); // kept as it was
    EXPECT_EQ(list.last().Extension, u".rmvb"_s);
}

TEST(AddMimeTypes, AMissingSiteFailsAndChangesNothing) {
    testing_support::TempMachine m;
    const auto result = addmime::AddMimeTypes(m->metabase(), 10000);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().number, platform::hr::PathNotFound);
    // A site without a root: the GetObject fails.
    auto service = m->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    ASSERT_TRUE(service->Create(u"IIsWebServer"_s, u"10001"_s).value()->SetInfo());
    EXPECT_FALSE(addmime::AddMimeTypes(m->metabase(), 10001));
}

TEST(SetAnonymousUser, WritesRootThenSiteAndPumpsEventsOnce) {
    testing_support::TempMachine m;
    testing_support::VirtualClock clock;
    makeSite(m.machine(), u"10000"_s);
    ASSERT_TRUE(AppPool::SetAnonymousUser(m->metabase(), clock, u"10000"_s, u"shop"_s, u"pw1"_s));
    EXPECT_EQ(clock.doEvents(), 1);
    for (const QString& path : {u"IIS://LocalHost/W3SVC/10000/ROOT"_s, u"IIS://LocalHost/W3SVC/10000"_s}) {
        auto o = m->metabase().Bind(path).value();
        EXPECT_EQ(o->Get(u"AuthFlags"_s).value().toNumber(), 5u) << path.toStdString();
        EXPECT_EQ(o->Get(u"AnonymousUserName"_s).value().toString(), u"shop"_s);
        EXPECT_EQ(o->Get(u"AnonymousUserPass"_s).value().toString(), u"pw1"_s);
    }
    EXPECT_FALSE(AppPool::SetAnonymousUser(m->metabase(), clock, u"10009"_s, u"x"_s, u"y"_s));
}

TEST(CreateAppPool, MakesThePoolOnceUnderAppPools) {
    testing_support::TempMachine m;
    ASSERT_TRUE(AppPool::CreateAppPool(m->metabase(), u"shop"_s));
    EXPECT_EQ(m->metabase().Bind(u"IIS://localhost/w3svc/AppPools/shop"_s).value()->Class(),
              u"IIsApplicationPool"_s);
    const auto again = AppPool::CreateAppPool(m->metabase(), u"SHOP"_s);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().number, platform::hr::AlreadyExists);
}

TEST(SiteUser, CreatedWithTextsGroupsAndNeverExpiringPassword) {
    testing_support::TempMachine m;
    testing_support::VirtualClock clock;
    QStringList lines;
    const AppPool::RunCommand run = recording(m.machine(), lines);
    ASSERT_EQ(m->accounts().addGroup(u"velmorausers"_s, {}), 0u); // made at start-up
    const auto made = AppPool::CreateSiteUser(run, clock, m->accounts(), u"shop"_s, u"pw1"_s);
    ASSERT_TRUE(made.created);
    EXPECT_TRUE(made.flags);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], u"cmd.exe /c net user shop pw1 /add /fullname:\"Internet 来宾和FTP帐户\" "
                        u"/comment:\"Velmora创建匿名访问 Internet 信息服务的帐户\"  /passwordchg:no"_s);
    EXPECT_EQ(lines[1], u"cmd.exe /c net localgroup Users shop /delete"_s);
    EXPECT_EQ(lines[2], u"cmd.exe /c net localgroup velmorausers shop /add"_s);
    EXPECT_EQ(clock.waits(), std::vector<int>{100});
    const auto user = m->accounts().lookup(u"shop"_s);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->fullName, u"Internet 来宾和FTP帐户"_s);
    EXPECT_EQ(user->comment, u"Velmora创建匿名访问 Internet 信息服务的帐户"_s);
    EXPECT_TRUE(user->flags & platform::userflags::DontExpirePasswd);
    EXPECT_TRUE(user->flags & platform::userflags::PasswdCantChange);
    QStringList groups;
    for (const auto& g : m->accounts().groupsOf(user->sid))
        groups << g.name;
    EXPECT_EQ(groups, QStringList{u"velmorausers"_s});
}

TEST(SiteUser, AnAccountNetUserCouldNotMakeIsLeftAlone) {
    testing_support::TempMachine m;
    testing_support::VirtualClock clock;
    QStringList lines;
    const AppPool::RunCommand run = recording(m.machine(), lines);
    const auto before = m->accounts().lookup(u"Guest"_s);
    ASSERT_TRUE(before);
    EXPECT_FALSE(AppPool::CreateSiteUser(run, clock, m->accounts(), u"Guest"_s, u"pw1"_s).created);
    EXPECT_EQ(lines.size(), 1); // no group change, no flag change
    EXPECT_EQ(m->accounts().lookup(u"Guest"_s)->flags, before->flags);
}

TEST(SetUserFlags, ExactNameOnlyAndASetBitIsNotWrittenAgain) {
    testing_support::TempMachine m;
    ASSERT_EQ(m->accounts().addUser(u"Shop"_s, u"pw"_s, {}, {}, platform::userflags::NormalAccount), 0u);
    ASSERT_TRUE(AppPool::SetUserFlags(m->accounts(), u"shop"_s)); // differs in case: no change
    EXPECT_EQ(m->accounts().UserFlags(u"Shop"_s).value(), platform::userflags::NormalAccount);
    ASSERT_TRUE(AppPool::SetUserFlags(m->accounts(), u"Shop"_s));
    EXPECT_EQ(m->accounts().UserFlags(u"Shop"_s).value(),
              platform::userflags::NormalAccount | platform::userflags::DontExpirePasswd);
    ASSERT_TRUE(AppPool::SetUserFlags(m->accounts(), u"Shop"_s)); // the bit stays set, not toggled
    EXPECT_TRUE(m->accounts().UserFlags(u"Shop"_s).value() & platform::userflags::DontExpirePasswd);
}

TEST(InputChecks, SiteNames) {
    EXPECT_EQ(InputChecks::SiteName(u""_s, false), u"网站名称不能为空！"_s);
    for (const QString& bad : {u"a&net user x y /add"_s,
                               u"a|b"_s,
                               u"%systemroot%"_s,
                               u"a\"b"_s,
                               u".."_s,
                               u"CON"_s,
                               u"con.txt"_s,
                               u"Lpt9"_s,
                               u"COM1.site"_s,
                               u"a b"_s,
                               u"a\tb"_s,
                               u"shop."_s,
                               u"a@b"_s,
                               u"a^b"_s,
                               u"a\u3000b"_s,
                               u"x/y"_s,
                               u"x\\y"_s,
                               u"a,b"_s,
                               u"a=b"_s,
                               u"a*"_s,
                               u"a?"_s,
                               u"a<b>"_s,
                               u"[a]"_s,
                               u"a:b"_s,
                               u"a;b"_s,
                               u"a+b"_s,
                               QString(1, QChar(0x7F))})
        EXPECT_EQ(InputChecks::SiteName(bad, false), u"网站名称含有非法字符！"_s) << bad.toStdString();
    for (const QString& good : {u"shop"_s, u"my-web.cn"_s, u"商城"_s, u"CONSOLE"_s, u"COM10"_s, u"a_b"_s})
        EXPECT_EQ(InputChecks::SiteName(good, true), QString()) << good.toStdString();
    EXPECT_EQ(InputChecks::SiteName(QString(21, u'a'), true), u"网站名称不能超过20个字符！"_s);
    EXPECT_EQ(InputChecks::SiteName(QString(20, u'a'), true), QString());
    EXPECT_EQ(InputChecks::SiteName(QString(21, u'a'), false), QString());
}

TEST(InputChecks, PathLengthCountsTheDefaultPage) {
    const QString root = u"D:\\WebRoot"_s;
    // root + "\" + name + "\web\index.html" = 10 + 1 + n + 15
    EXPECT_EQ(InputChecks::SitePath(root, QString(233, u'a')), QString());
    EXPECT_EQ(InputChecks::SitePath(root, QString(234, u'a')), u"网站路径太长！"_s);
    EXPECT_EQ(InputChecks::SitePath(root, QString(300, u'a')), u"网站路径太长！"_s);
}

TEST(InputChecks, AccountsOnTheMachineInAnyCase) {
    testing_support::TempMachine m;
    for (const QString& taken : {u"administrator"_s, u"GUEST"_s, u"IUSR_VELMORA"_s, u"iwam_velmora"_s})
        EXPECT_EQ(InputChecks::AccountFree(m->accounts(), taken), u"账户 "_s + taken + u" 已经存在！"_s);
    EXPECT_EQ(InputChecks::AccountFree(m->accounts(), u"shop"_s), QString());
}

TEST(InputChecks, PasswordsDomainsPortsAndRoot) {
    for (const QString& bad : {u"p&net user evil p /add"_s, u"a b"_s, u"a|b"_s, u"a<b"_s, u"a>b"_s, u"a^b"_s,
                               u"%path%"_s, u"a\"b"_s, u"a\nb"_s})
        EXPECT_EQ(InputChecks::Password(bad), u"密码含有非法字符！"_s) << bad.toStdString();
    EXPECT_EQ(InputChecks::Password(u"Pa$$w0rd!#(),.;"_s), QString());
    EXPECT_EQ(InputChecks::DomainList(u"www.a-b.com@B.cn@"_s), QString());
    for (const QString& bad : {u"a.com b.com"_s, u"a.com&x"_s, u"例子.com"_s, u"a_b.com"_s, u"a.com:81"_s})
        EXPECT_EQ(InputChecks::DomainList(bad), u"输入域名错误！"_s) << bad.toStdString();
    for (const QString& good : {u"1"_s, u"80"_s, u" 8080 "_s, u"32768"_s, u"65535"_s})
        EXPECT_EQ(InputChecks::Port(good), QString()) << good.toStdString();
    for (const QString& bad :
         {u"0"_s, u"65536"_s, u"80.5"_s, u"-1"_s, u"8 0"_s, u""_s, u"x"_s, u"000080000"_s})
        EXPECT_EQ(InputChecks::Port(bad), u"端口必须是1到65535之间的数字！"_s) << bad.toStdString();
    EXPECT_EQ(InputChecks::HomeRoot(u"  "_s), u"请先设置主目录！"_s);
    EXPECT_EQ(InputChecks::HomeRoot(u"D:\\WebRoot"_s), QString());
}

} // namespace
