// The FTP service's own rules without the network: how a command's path is read, which virtual
// directory and Windows path it names, where a user lands, how IIS 6 lists a folder, and what the
// service reads of the metabase.

#include "emulation/msftpsvc/FtpPath.h"
#include "emulation/accounts/AccountStore.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/msftpsvc/FtpListing.h"
#include "emulation/msftpsvc/FtpService.h"
#include "emulation/msftpsvc/FtpSiteTable.h"
#include "tests/support/TempMachine.h"

#include <gtest/gtest.h>

namespace {

using namespace Qt::Literals::StringLiterals;
using namespace msftpsvc;

FtpSite siteWith(std::initializer_list<std::tuple<QString, QString, bool, bool>> dirs) {
    FtpSite site;
    site.id = 1;
    for (const auto& [name, path, read, write] : dirs) {
        FtpVirtualDir d;
        d.name = name;
        d.lookup = name.toLower();
        d.path = emulation::files::WinPath::parse(path);
        d.read = read;
        d.write = write;
        site.dirs.push_back(d);
    }
    return site;
}

QString resolved(const QString& cwd, const QString& argument) {
    VirtualPath from;
    from.names = cwd.split(u'/', Qt::SkipEmptyParts);
    const auto p = resolvePath(from, argument);
    return p ? p->toString() : u"<refused>"_s;
}

TEST(FtpPath, CommandPathsAreTakenFromTheCurrentFolderAndNeverClimbAboveTheRoot) {
    EXPECT_EQ(resolved(u"/shop"_s, u"web"_s), u"/shop/web"_s);
    EXPECT_EQ(resolved(u"/shop"_s, u"/other"_s), u"/other"_s);
    EXPECT_EQ(resolved(u"/shop"_s, u"web\\sub\\..\\a.txt"_s), u"/shop/web/a.txt"_s);
    EXPECT_EQ(resolved(u"/shop/web"_s, u"./../log/"_s), u"/shop/log"_s);
    EXPECT_EQ(resolved(u"/shop"_s, u"../../../.."_s), u"/"_s);
    EXPECT_EQ(resolved(u"/shop"_s, u"\\..\\..\\WINDOWS"_s), u"/WINDOWS"_s);
    EXPECT_EQ(resolved(u"/shop"_s, u""_s), u"/shop"_s);
    EXPECT_EQ(resolved(u"/"_s, u"//web///a"_s), u"/web/a"_s);
}

TEST(FtpPath, NamesWindowsCannotHaveOrWouldReadOtherwiseAreRefused) {
    for (const QString& bad :
         {u"C:\\"_s, u"c:/windows"_s, u"web/a:b"_s, u"web/file::$DATA"_s, u"x."_s, u"x "_s, u"CON"_s,
          u"web/nul.txt"_s, u"LPT1"_s, u"a*"_s, u"a?b"_s, u"a\"b"_s, u"a<b"_s, u"a|b"_s, u"a\tb"_s,
          u"a\u0001b"_s, QString(256, u'a'), u"a/"_s.repeated(140)})
        EXPECT_EQ(resolved(u"/shop"_s, bad), u"<refused>"_s) << bad.left(40).toStdString();
    EXPECT_EQ(resolved(u"/"_s, QString(255, u'a')), u"/"_s + QString(255, u'a'));
    EXPECT_EQ(resolved(u"/"_s, u"连接.txt"_s), u"/连接.txt"_s);
}

TEST(FtpPath, APathLiesInTheDeepestVirtualDirectoryThatNamesIt) {
    const FtpSite site = siteWith({{u""_s, u"C:\\Inetpub\\ftproot"_s, true, false},
                                   {u"Shop"_s, u"D:\\WebRoot\\shop"_s, true, true},
                                   {u"Shop/logs"_s, u"E:\\Logs\\shop"_s, true, false}});
    auto at = [&](const QString& p) {
        VirtualPath v;
        v.names = p.split(u'/', Qt::SkipEmptyParts);
        const auto placed = place(site, v);
        return placed ? placed->dir->name + u' ' + placed->path.toString() +
                            (placed->isDirItself ? u" *"_s : u""_s)
                      : u"<none>"_s;
    };
    EXPECT_EQ(at(u"/"_s), u" C:\\Inetpub\\ftproot *"_s);
    EXPECT_EQ(at(u"/readme.txt"_s), u" C:\\Inetpub\\ftproot\\readme.txt"_s);
    EXPECT_EQ(at(u"/SHOP"_s), u"Shop D:\\WebRoot\\shop *"_s);
    EXPECT_EQ(at(u"/shop/web/Index.html"_s), u"Shop D:\\WebRoot\\shop\\web\\Index.html"_s);
    EXPECT_EQ(at(u"/shop/LOGS/ex.log"_s), u"Shop/logs E:\\Logs\\shop\\ex.log"_s);
    EXPECT_EQ(at(u"/shopping"_s), u" C:\\Inetpub\\ftproot\\shopping"_s);
    // Directories directly below a folder show in its listing, as stored.
    EXPECT_EQ(virtualChildren(site, VirtualPath{}), QStringList{u"Shop"_s});
    EXPECT_EQ(virtualChildren(site, VirtualPath{{u"shop"_s}}), QStringList{u"logs"_s});
    // Without ROOT, or with a Path that is none, nothing is placed.
    EXPECT_FALSE(place(siteWith({{u"shop"_s, u"D:\\WebRoot\\shop"_s, true, true}}), VirtualPath{}));
    EXPECT_FALSE(place(siteWith({{u""_s, u"relative\\path"_s, true, true}}), VirtualPath{{u"a"_s}}));
}

TEST(FtpPath, AUserLandsInTheDirectoryNamedLikeItElseAtTheRoot) {
    const FtpSite site = siteWith({{u""_s, u"C:\\Inetpub\\ftproot"_s, true, false},
                                   {u"Shop"_s, u"D:\\WebRoot\\shop"_s, true, true},
                                   {u"a/b"_s, u"D:\\x"_s, true, true}});
    EXPECT_EQ(landingFolder(site, u"shop"_s).toString(), u"/Shop"_s);
    EXPECT_EQ(landingFolder(site, u"SHOP"_s).toString(), u"/Shop"_s);
    EXPECT_EQ(landingFolder(site, u"other"_s).toString(), u"/"_s);
    EXPECT_EQ(landingFolder(site, u"a/b"_s).toString(), u"/"_s);
    EXPECT_EQ(landingFolder(site, QString()).toString(), u"/"_s);
}

TEST(FtpListing, FoldersAndFilesAreListedAsIis6ListsThem) {
    const QDateTime now(QDate(2026, 12, 7), QTime(15, 0));
    ListEntry web{u"web"_s, true, 0, QDateTime(QDate(2026, 12, 7), QTime(14, 30))};
    ListEntry page{u"index.html"_s, false, 1234, QDateTime(QDate(2026, 3, 15), QTime(0, 5))};
    EXPECT_EQ(listLine(web, true, now), "12-07-26  02:30PM       <DIR>          web\r\n");
    EXPECT_EQ(listLine(page, true, now), "03-15-26  12:05AM                 1234 index.html\r\n");
    // Both names start in the same column, which MS-DOS parsers rely on.
    EXPECT_EQ(listLine(web, true, now).indexOf("web"), listLine(page, true, now).indexOf("index.html"));
    EXPECT_EQ(listLine(web, false, now),
              "drwxrwxrwx   1 owner    group                  0 Dec  7 14:30 web\r\n");
    // Older than half a year: the year instead of the time.
    page.modified = QDateTime(QDate(2025, 3, 15), QTime(0, 5));
    EXPECT_EQ(listLine(page, false, now),
              "-rwxrwxrwx   1 owner    group               1234 Mar 15  2025 index.html\r\n");
    EXPECT_EQ(mdtmText(QDateTime(QDate(2026, 3, 15), QTime(8, 9, 10), Qt::UTC)), "20260315080910");
}

TEST(FtpSiteTable, TheDefaultFtpSiteIsReadWithItsDirectoriesAndInheritedValues) {
    testing_support::TempMachine m;
    auto& metabase = m->metabase();
    auto root = metabase.bindPath(u"/LM/MSFTPSVC/1/ROOT"_s).value();
    auto shop = root->Create(u"IIsFtpVirtualDir"_s, u"Shop"_s).value();
    shop->Put(u"Path"_s, u"D:\\WebRoot\\shop"_s);
    shop->Put(u"AccessRead"_s, true);
    shop->Put(u"AccessWrite"_s, true);
    ASSERT_TRUE(shop->SetInfo());
    auto docs = root->Create(u"IIsFtpVirtualDir"_s, u"docs"_s).value();
    docs->Put(u"Path"_s, u"D:\\Docs"_s);
    ASSERT_TRUE(docs->SetInfo());
    auto site = metabase.bindPath(u"/LM/MSFTPSVC/1"_s).value();
    site->Put(u"AllowAnonymous"_s, false);
    site->Put(u"GreetingMessage"_s, QStringList{u"Hello"_s, u"there"_s});
    ASSERT_TRUE(site->SetInfo());

    const auto table = FtpSiteTable::read(m->db());
    ASSERT_EQ(table->sites().size(), 1u);
    const FtpSite& s = table->sites().front();
    EXPECT_EQ(s.id, 1u);
    EXPECT_EQ(s.state, state::Started);
    ASSERT_EQ(s.bindings.size(), 1u);
    EXPECT_EQ(s.bindings.front().port, 21);
    EXPECT_TRUE(s.bindings.front().ip.isEmpty());
    EXPECT_FALSE(s.allowAnonymous);
    EXPECT_EQ(s.greeting, (QStringList{u"Hello"_s, u"there"_s}));
    // The service's values reach the site: its timeout, limit, listing style and log folder.
    EXPECT_EQ(s.connectionTimeout, 120u);
    EXPECT_EQ(s.maxConnections, 100000u);
    EXPECT_TRUE(s.msdosListing);
    EXPECT_EQ(s.logFileDirectory, u"C:\\WINDOWS\\system32\\LogFiles"_s);
    EXPECT_EQ(s.anonymousUser, u"IUSR_VELMORA"_s);
    ASSERT_NE(s.root(), nullptr);
    EXPECT_EQ(s.root()->path.toString(), u"C:\\inetpub\\ftproot"_s);
    EXPECT_TRUE(s.root()->read);
    EXPECT_FALSE(s.root()->write);
    const FtpVirtualDir* d = s.dir(u"shop"_s);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->name, u"Shop"_s);
    EXPECT_TRUE(d->read && d->write);
    // A directory without flags of its own takes the service's AccessRead.
    ASSERT_NE(s.dir(u"docs"_s), nullptr);
    EXPECT_TRUE(s.dir(u"docs"_s)->read);
    EXPECT_FALSE(s.dir(u"docs"_s)->write);
    EXPECT_EQ(table->match(QString(), 21), &s);
    EXPECT_EQ(table->match(u"192.0.2.2"_s, 21), &s);
    EXPECT_EQ(table->match(QString(), 2121), nullptr);

    // A stopped site has no endpoint and matches nothing.
    site->Put(u"ServerState"_s, 4u);
    ASSERT_TRUE(site->SetInfo());
    const auto stopped = FtpSiteTable::read(m->db());
    EXPECT_TRUE(stopped->endpoints().empty());
    EXPECT_EQ(stopped->match(QString(), 21), nullptr);
}

TEST(FtpService, LogonsFollowTheAccountAndTheSite) {
    testing_support::TempMachine m;
    auto& accounts = m->accounts();
    ASSERT_EQ(accounts.addUser(u"shop"_s, u"Shop12345"_s, {}, {}, 0x200), 0u);
    FtpService service(m.machine());
    FtpSite site;
    site.allowAnonymous = false;
    site.anonymousUser = u"shop"_s;
    site.anonymousPass = u"Shop12345"_s;
    EXPECT_TRUE(service.logon(site, u"shop"_s, u"Shop12345"_s));
    EXPECT_TRUE(service.logon(site, u"SHOP"_s, u"Shop12345"_s));
    EXPECT_FALSE(service.logon(site, u"shop"_s, u"shop12345"_s));
    EXPECT_FALSE(service.logon(site, u"anonymous"_s, u"me@example.com"_s));
    EXPECT_FALSE(service.logon(site, u"Administrators"_s, QString())); // a group is nobody to log on as
    site.allowAnonymous = true;
    const auto anonymous = service.logon(site, u"Anonymous"_s, u"me@example.com"_s);
    ASSERT_TRUE(anonymous);
    EXPECT_TRUE(anonymous->anonymous);
    EXPECT_EQ(anonymous->sid, accounts.lookup(u"shop"_s)->sid);
    site.anonymousOnly = true;
    EXPECT_FALSE(service.logon(site, u"shop"_s, u"Shop12345"_s));
    site.anonymousOnly = false;
    emulation::accounts::AccountStore::UserChange expired;
    expired.expires = QDate::currentDate().addDays(-1);
    ASSERT_EQ(accounts.changeUser(u"shop"_s, expired), 0u);
    EXPECT_FALSE(service.logon(site, u"shop"_s, u"Shop12345"_s));
    expired.expires = QDate::currentDate();
    ASSERT_EQ(accounts.changeUser(u"shop"_s, expired), 0u);
    EXPECT_TRUE(service.logon(site, u"shop"_s, u"Shop12345"_s)); // through its last day
}

TEST(FtpService, LogLinesNameTheSessionAndMakeNoValueShiftTheFields) {
    FtpLogEntry e;
    e.timeMs = QDateTime(QDate(2026, 12, 7), QTime(8, 9, 10), Qt::UTC).toMSecsSinceEpoch();
    e.clientIp = u"127.0.0.1"_s;
    e.session = 12;
    e.method = u"created"_s;
    e.uriStem = u"/shop/web/my page.html"_s;
    e.status = 226;
    EXPECT_EQ(FtpService::logLine(e), "08:09:10 127.0.0.1 [12]created /shop/web/my+page.html 226 0\r\n");
    e.method = u"PASS"_s;
    e.uriStem.clear();
    e.status = 530;
    e.win32Status = 1326;
    EXPECT_EQ(FtpService::logLine(e), "08:09:10 127.0.0.1 [12]PASS - 530 1326\r\n");
    e.uriStem = u"a\r\nFAKE"_s;
    EXPECT_EQ(FtpService::logLine(e).count("\r\n"), 1);
}

} // namespace
