// The web service's request handler called directly, without listeners or sockets: which site a
// request reaches, what it is answered with from the site's files, what the anonymous user's
// rights allow, and the record that goes into the logs.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/w3svc/ErrorPages.h"
#include "emulation/w3svc/HttpDate.h"
#include "emulation/w3svc/UrlPath.h"
#include "emulation/w3svc/WebService.h"
#include "tests/support/TempMachine.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using emulation::files::WinPath;
using platform::MetaValue;
using testing_support::TempMachine;

namespace {

class HandlerTest : public ::testing::Test {
protected:
    TempMachine m;
    // The service has a connection of its own, as in the serve process: it notices the commits of
    // other connections, and the fixture's changes are those.
    std::unique_ptr<emulation::machine::Machine> served;
    std::unique_ptr<w3svc::WebService> service;

    void SetUp() override {
        m.writeFile(u"D:\\WebRoot\\shop\\web\\Index.html"_s, "<p>shop</p>");
        m.writeFile(u"D:\\WebRoot\\shop\\web\\digits.txt"_s, "0123456789");
        m.writeFile(u"D:\\WebRoot\\shop\\secret.txt"_s, "SECRET");
        addSite(10000, u"shop"_s, {u":80:www.shop.example"_s}, u"D:\\WebRoot\\shop\\web"_s);
        served = m.reopen();
        service = std::make_unique<w3svc::WebService>(*served);
    }

    platform::MetabaseObjectPtr bind(const QString& path) {
        auto o = m->metabase().bindPath(path);
        EXPECT_TRUE(o) << path.toStdString();
        return o ? std::move(o.value()) : nullptr;
    }

    void addSite(int id, const QString& name, const QStringList& bindings, const QString& path) {
        auto site = bind(u"/LM/W3SVC"_s)->Create(u"IIsWebServer"_s, QString::number(id)).value();
        site->Put(u"ServerComment"_s, name);
        site->Put(u"ServerBindings"_s, bindings);
        site->Put(u"AccessRead"_s, true);
        site->Put(u"EnableDefaultDoc"_s, true);
        site->Put(u"DefaultDoc"_s, u"Default.htm,Index.html"_s);
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, path);
        ASSERT_TRUE(root->SetInfo());
        ASSERT_TRUE(site->SetInfo());
        ASSERT_TRUE(site->Start());
    }

    void put(const QString& path, const QString& property, const MetaValue& value) {
        auto o = bind(path);
        o->Put(property, value);
        ASSERT_TRUE(o->SetInfo());
    }

    w3svc::Response get(const std::string& target, const std::string& host, const std::string& method = "GET",
                        const std::string& range = {}) {
        w3svc::Request rq = request(target, host, method);
        rq.range = range;
        return send(rq);
    }

    static w3svc::Request request(const std::string& target, const std::string& host,
                                  const std::string& method = "GET") {
        w3svc::Request rq;
        rq.localIp = u"127.0.0.1"_s;
        rq.port = 80;
        rq.listenPort = 80;
        rq.method = method;
        rq.target = target;
        rq.version = "HTTP/1.1";
        rq.host = host;
        rq.userAgent = "Handler Test/1.0";
        rq.clientIp = u"127.0.0.9"_s;
        rq.bytesReceived = 64;
        return rq;
    }

    w3svc::Response send(const w3svc::Request& rq) {
        w3svc::Response r = service->handle(rq);
        // The listener completes the record with the answer before it logs it.
        r.entry.status = r.status;
        r.entry.substatus = r.substatus;
        r.entry.win32Status = r.win32Status;
        return r;
    }

    static std::string header(const w3svc::Response& r, const std::string& name) {
        for (const auto& [n, v] : r.headers)
            if (n == name)
                return v;
        return {};
    }

    std::string hostPath(const QString& windowsPath) {
        return QFile::encodeName(m->hostPath(windowsPath)).toStdString();
    }

    QString today() const { return QDateTime::currentDateTimeUtc().toString(u"yyMMdd"_s); }
};

TEST_F(HandlerTest, RequestsReachTheSiteOfTheirHostOrTheDefaultSite) {
    const auto shop = get("/Index.html", "WWW.Shop.Example:80");
    EXPECT_EQ(shop.status, 200) << "the host without its port and without regard to case";
    EXPECT_EQ(shop.body, "<p>shop</p>");
    EXPECT_EQ(shop.entry.siteId, 10000u);
    EXPECT_EQ(header(shop, "Server"), "Microsoft-IIS/6.0");

    // Any other host name reaches the default site, which answers with its under-construction page.
    const auto other = get("/", "other.example");
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(QByteArray::fromStdString(other.body), m.readFile(u"C:\\Inetpub\\wwwroot\\iisstart.htm"_s));
    EXPECT_EQ(other.entry.siteId, 1u);

    // Without the default site, an unknown host finds no site: 400, and nothing is logged.
    ASSERT_TRUE(bind(u"/LM/W3SVC/1"_s)->Stop());
    const auto unknown = get("/", "other.example");
    EXPECT_EQ(unknown.status, 400);
    EXPECT_FALSE(unknown.log);
}

TEST_F(HandlerTest, APausedSiteAnswers503AndARedirectedOneSendsThePathOn) {
    ASSERT_TRUE(bind(u"/LM/W3SVC/10000"_s)->Pause());
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 503);
    ASSERT_TRUE(bind(u"/LM/W3SVC/10000"_s)->Continue());
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200);

    put(u"/LM/W3SVC/10000/ROOT"_s, u"HttpRedirect"_s, u"http://new.example/, PERMANENT"_s);
    const auto moved = get("/a/b.html?x=1", "www.shop.example");
    EXPECT_EQ(moved.status, 301);
    EXPECT_EQ(header(moved, "Location"), "http://new.example/a/b.html");
}

TEST_F(HandlerTest, FilesFoldersAndRanges) {
    const auto folder = get("/", "www.shop.example");
    EXPECT_EQ(folder.status, 200) << "the folder's default document";
    EXPECT_EQ(folder.body, "<p>shop</p>");
    EXPECT_EQ(get("/INDEX.HTML", "www.shop.example").body, "<p>shop</p>") << "names without case";

    const auto missing = get("/missing.htm", "www.shop.example");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.win32Status, 2u);
    EXPECT_EQ(missing.body, w3svc::errorPage(404, 0));
    EXPECT_EQ(get("/../secret.txt", "www.shop.example").status, 404) << "nothing above the home directory";

    const auto part = get("/digits.txt", "www.shop.example", "GET", "bytes=2-4");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, "234");
    EXPECT_EQ(header(part, "Content-Range"), "bytes 2-4/10");
    const auto beyond = get("/digits.txt", "www.shop.example", "GET", "bytes=50-");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(header(beyond, "Content-Range"), "bytes */10");

    const auto head = get("/digits.txt", "www.shop.example", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.headOnly);
    const auto post = get("/digits.txt", "www.shop.example", "POST");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(header(post, "Allow"), "GET, HEAD");
}

TEST_F(HandlerTest, FilesAreReadAsTheAnonymousUserUnderTheAccessCheck) {
    auto& accounts = m->accounts();
    ASSERT_EQ(accounts.addUser(u"shopuser"_s, u"Pw-12345"_s, {}, {}, 0x10040), 0u);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s, u"shopuser"_s);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserPass"_s, u"Pw-12345"_s);
    m.writeFile(u"D:\\WebRoot\\shop\\web\\locked.htm"_s, "locked");
    const auto user = accounts.lookup(u"shopuser"_s).value();
    m->files().setExplicitAces(WinPath::parse(u"D:\\WebRoot\\shop\\web\\locked.htm"_s),
                               {{true, user.sid, emulation::accounts::rights::Read, 0}});

    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200) << "the site's own account reads its page";
    const auto locked = get("/locked.htm", "www.shop.example");
    EXPECT_EQ(locked.status, 401);
    EXPECT_EQ(locked.substatus, 3) << "401.3: the access check denies";
    EXPECT_EQ(locked.body.find("locked<"), std::string::npos);

    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserPass"_s, u"wrong"_s);
    const auto refused = get("/Index.html", "www.shop.example");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.substatus, 1) << "401.1: the logon fails";
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AccessRead"_s, false);
    const auto noRead = get("/Index.html", "www.shop.example");
    EXPECT_EQ(noRead.status, 403);
    EXPECT_EQ(noRead.substatus, 2) << "403.2: read access off";
}

TEST_F(HandlerTest, TheAnswerCarriesItsLogRecordAndTheSitesW3cLogGetsIt) {
    const auto r = get("/Index.html?a=b", "www.shop.example");
    ASSERT_TRUE(r.log);
    EXPECT_FALSE(r.centralLog);
    const iislog::LogRecord& e = r.entry;
    EXPECT_EQ(e.siteId, 10000u);
    EXPECT_EQ(e.method, u"GET"_s);
    EXPECT_EQ(e.uriStem, u"/Index.html"_s);
    EXPECT_EQ(e.uriQuery, u"a=b"_s);
    EXPECT_EQ(e.serverPort, 80);
    EXPECT_EQ(e.clientIp, u"127.0.0.9"_s);
    EXPECT_EQ(e.host, u"www.shop.example"_s);
    EXPECT_EQ(e.userAgent, u"Handler Test/1.0"_s);
    EXPECT_EQ(e.bytesReceived, 64u);

    service->log(r.entry, r.centralLog, r.logFileDirectory);
    service->flushLogs();
    const QString log = QString::fromUtf8(
        m.readFile(u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC10000\\ex"_s + today() + u".log"_s));
    EXPECT_TRUE(log.contains(
        u" W3SVC10000 127.0.0.1 GET /Index.html a=b 80 - 127.0.0.9 Handler+Test/1.0 200 0 0\r\n"_s))
        << log.toStdString();
}

TEST_F(HandlerTest, WithCentralLoggingTheRecordGoesIntoTheDaysBinaryLog) {
    put(u"/LM/W3SVC"_s, u"CentralBinaryLoggingEnabled"_s, true);
    put(u"/LM/W3SVC"_s, u"LogFileDirectory"_s, u"D:\\Logs"_s);
    const auto r = get("/missing.htm", "www.shop.example");
    ASSERT_TRUE(r.log);
    ASSERT_TRUE(r.centralLog);
    service->log(r.entry, r.centralLog, r.logFileDirectory);
    service->flushLogs();

    iislog::Reader reader;
    ASSERT_TRUE(reader.open(m->hostPath(u"D:\\Logs\\W3SVC\\ra"_s + today() + u".ibl"_s)));
    iislog::LogRecord record;
    ASSERT_TRUE(reader.next(record));
    EXPECT_EQ(record.siteId, 10000u);
    EXPECT_EQ(record.uriStem, u"/missing.htm"_s);
    EXPECT_EQ(record.status, 404);
    EXPECT_EQ(record.win32Status, 2u);
    EXPECT_EQ(record.clientIp, u"127.0.0.9"_s);
    EXPECT_FALSE(reader.next(record)) << "one request, one record";
    EXPECT_TRUE(reader.errorString().isEmpty()) << reader.errorString().toStdString();
}

TEST_F(HandlerTest, TheHostIsCheckedAsSentAndAnAbsoluteTargetsHostWins) {
    const auto absolute = send(request("http://WWW.shop.example:80/Index.html?q=1", "other.example"));
    EXPECT_EQ(absolute.status, 200) << "the target's host, not the Host field";
    EXPECT_EQ(absolute.entry.siteId, 10000u);
    EXPECT_EQ(absolute.entry.uriQuery, u"q=1"_s);

    // A host that is no host name is refused by HTTP.sys, never decoded or cut down to one.
    for (const std::string host : {"www.shop%2eexample", "evil.example/phish?", "www.shop.example:8x",
                                   "user@www.shop.example", "www.shop.example:80:80", "a b"}) {
        const auto r = get("/Index.html", host);
        EXPECT_EQ(r.status, 400) << host;
        EXPECT_EQ(header(r, "Server"), "Microsoft-HTTPAPI/1.0") << host;
        EXPECT_EQ(r.httpApiReason, "Hostname") << host;
        EXPECT_FALSE(r.log) << host;
    }
    EXPECT_EQ(get("/Index.html", "[::1]:80").entry.siteId, 1u) << "an IPv6 literal reaches the default site";

    // The folder's redirect is built from the checked host, or from the address without one.
    m.writeFile(u"D:\\WebRoot\\shop\\web\\sub\\Default.htm"_s, "sub");
    EXPECT_EQ(header(get("/sub?x=1", "WWW.Shop.Example:80"), "Location"),
              "http://WWW.Shop.Example:80/sub/?x=1");
    m.writeFile(u"C:\\Inetpub\\wwwroot\\sub\\x.htm"_s, "x");
    w3svc::Request bare = request("/sub", "");
    bare.version = "HTTP/1.0";
    EXPECT_EQ(header(send(bare), "Location"), "http://127.0.0.1:80/sub/") << "HTTP/1.0 without Host";
    EXPECT_EQ(header(send(request("/sub", "www.shop.example")), "Location"), "http://www.shop.example/sub/");
}

TEST_F(HandlerTest, DotSegmentsAreTakenAwayAndEncodedOnesRefused) {
    m.writeFile(u"D:\\WebRoot\\shop\\web\\sub\\Default.htm"_s, "sub");
    EXPECT_EQ(get("/sub/../Index.html", "www.shop.example").body, "<p>shop</p>");
    EXPECT_EQ(get("/sub/./Default.htm", "www.shop.example").body, "sub");
    EXPECT_EQ(get("/./sub/.", "www.shop.example").body, "sub") << "a final dot segment names the folder";
    EXPECT_EQ(get("/sub/..", "www.shop.example").body, "<p>shop</p>");
    for (const std::string path :
         {"/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt", "/sub/%2e/Default.htm"})
        EXPECT_EQ(get(path, "www.shop.example").status, 404) << path;

    EXPECT_EQ(w3svc::removeDotSegments("/a/b/../c/./d"), "/a/c/d");
    EXPECT_EQ(w3svc::removeDotSegments("/a/.."), "/");
    EXPECT_EQ(w3svc::removeDotSegments("/a/%2e%2e/b"), "/a/%2e%2e/b")
        << "encoded dots are names, refused later";
    EXPECT_EQ(w3svc::removeDotSegments("/.."), std::nullopt);
    EXPECT_EQ(w3svc::removeDotSegments("a/b"), std::nullopt);
}

TEST_F(HandlerTest, LinksNeverLeadOutOfTheDrivesAndTheirTargetsRightsApply) {
    m.writeFile(u"D:\\WebRoot\\other\\web\\Default.htm"_s, "OTHER SITE");
    m.writeFile(u"D:\\WebRoot\\shop\\web\\sub\\Default.htm"_s, "sub");
    const std::string web = hostPath(u"D:\\WebRoot\\shop\\web"_s);
    const std::string machineDb = QFile::encodeName(m.folder()).toStdString() + "/machine.db";
    const std::map<std::string, std::string> outside = {
        {"db.htm", machineDb},
        {"passwd.txt", "/etc/passwd"},
        {"other.htm", hostPath(u"D:\\WebRoot\\other\\web\\Default.htm"_s)},
        {"up.txt", "../secret.txt"},
        {"machine", QFile::encodeName(m.folder()).toStdString()},
        {"etc", "/etc"},
    };
    for (const auto& [name, to] : outside)
        ASSERT_EQ(::symlink(to.c_str(), (web + '/' + name).c_str()), 0) << name;
    for (const std::string path : {"/db.htm", "/passwd.txt", "/other.htm", "/up.txt", "/machine/machine.db",
                                   "/machine/journal.log", "/etc/passwd", "/etc/hostname", "/DB.HTM"}) {
        const auto r = get(path, "www.shop.example");
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body.find("OTHER"), std::string::npos) << path;
        EXPECT_EQ(r.body.find("SECRET"), std::string::npos) << path;
    }

    // Inside the site's own folder a link is followed, to a file or a folder.
    ASSERT_EQ(::symlink("Index.html", (web + "/alias.html").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (web + "/folder").c_str()), 0);
    EXPECT_EQ(get("/alias.html", "www.shop.example").body, "<p>shop</p>");
    EXPECT_EQ(get("/folder/", "www.shop.example").body, "sub");

    // The rights checked are the target's, not the link's.
    auto& accounts = m->accounts();
    ASSERT_EQ(accounts.addUser(u"shopuser"_s, u"Pw-12345"_s, {}, {}, 0x10040), 0u);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s, u"shopuser"_s);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserPass"_s, u"Pw-12345"_s);
    m.writeFile(u"D:\\WebRoot\\shop\\web\\locked.htm"_s, "locked");
    ASSERT_EQ(::symlink("locked.htm", (web + "/open.htm").c_str()), 0);
    m->files().setExplicitAces(
        WinPath::parse(u"D:\\WebRoot\\shop\\web\\locked.htm"_s),
        {{true, accounts.lookup(u"shopuser"_s)->sid, emulation::accounts::rights::Read, 0}});
    const auto linked = get("/open.htm", "www.shop.example");
    EXPECT_EQ(linked.status, 401);
    EXPECT_EQ(linked.substatus, 3);
}

TEST_F(HandlerTest, TheDefaultDocumentAndFilesFollowTheFolderAsItIsNow) {
    const std::string web = hostPath(u"D:\\WebRoot\\shop\\web"_s);
    EXPECT_EQ(get("/", "www.shop.example").body, "<p>shop</p>")
        << "Index.html while Default.htm is not there";
    m.writeFile(u"D:\\WebRoot\\shop\\web\\Default.htm"_s, "default");
    EXPECT_EQ(get("/", "www.shop.example").body, "default") << "the first default document once it is there";

    // The first default document decides even when it is no file: IIS does not go on to the next.
    ASSERT_EQ(::unlink((web + "/Default.htm").c_str()), 0);
    ASSERT_EQ(::mkdir((web + "/Default.htm").c_str(), 0755), 0);
    const auto folder = get("/", "www.shop.example");
    EXPECT_EQ(folder.status, 404);
    EXPECT_EQ(folder.body.find("<p>shop</p>"), std::string::npos);

    // A default document that is a link: followed within the site, never out of the drives.
    ASSERT_EQ(::rmdir((web + "/Default.htm").c_str()), 0);
    ASSERT_EQ(::symlink("digits.txt", (web + "/Default.htm").c_str()), 0);
    EXPECT_EQ(get("/", "www.shop.example").body, "0123456789");
    ASSERT_EQ(::unlink((web + "/Default.htm").c_str()), 0);
    ASSERT_EQ(::symlink("/etc/hostname", (web + "/Default.htm").c_str()), 0);
    EXPECT_EQ(get("/", "www.shop.example").status, 404);
    ASSERT_EQ(::unlink((web + "/Default.htm").c_str()), 0);

    // A file served once and then changed, or put in place of a link, is answered as it is now.
    EXPECT_EQ(get("/digits.txt", "www.shop.example").body, "0123456789");
    m.writeFile(u"D:\\WebRoot\\shop\\web\\digits.txt"_s, "9876543210 and more");
    EXPECT_EQ(get("/digits.txt", "www.shop.example").body, "9876543210 and more");
    ASSERT_EQ(::unlink((web + "/digits.txt").c_str()), 0);
    ASSERT_EQ(::symlink(hostPath(u"D:\\WebRoot\\shop\\secret.txt"_s).c_str(), (web + "/digits.txt").c_str()),
              0);
    const auto linked = get("/digits.txt", "www.shop.example");
    EXPECT_EQ(linked.status, 404) << "a link to the folder above the site's";
    EXPECT_EQ(linked.body.find("SECRET"), std::string::npos);

    // A folder on the way, then the home folder itself, put aside for a link out of the drives.
    const std::string outside = QFile::encodeName(m.folder()).toStdString() + "/outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    QFile page(QFile::decodeName(QByteArray::fromStdString(outside + "/page.htm")));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("OUTSIDE");
    page.close();
    m.writeFile(u"D:\\WebRoot\\shop\\web\\sub\\page.htm"_s, "inside");
    m.writeFile(u"D:\\WebRoot\\shop\\web\\page.htm"_s, "home");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(get("/sub/page.htm", "www.shop.example").body, "inside");
        EXPECT_EQ(get("/page.htm", "www.shop.example").body, "home");
    }
    ASSERT_EQ(::rename((web + "/sub").c_str(), (web + "/sub.old").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (web + "/sub").c_str()), 0);
    const auto throughFolder = get("/sub/page.htm", "www.shop.example");
    EXPECT_EQ(throughFolder.status, 404);
    EXPECT_EQ(throughFolder.body.find("OUTSIDE"), std::string::npos);
    EXPECT_EQ(get("/page.htm", "www.shop.example").body, "home");
    ASSERT_EQ(::rename(web.c_str(), (web + ".old").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), web.c_str()), 0);
    const auto throughHome = get("/page.htm", "www.shop.example");
    EXPECT_EQ(throughHome.status, 404);
    EXPECT_EQ(throughHome.body.find("OUTSIDE"), std::string::npos);
}

TEST_F(HandlerTest, TheSameRequestAgainSeesEveryChangeMadeSince) {
    auto& accounts = m->accounts();
    ASSERT_EQ(accounts.addUser(u"shopuser"_s, u"Pw-12345"_s, {}, {}, 0x10040), 0u);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s, u"shopuser"_s);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserPass"_s, u"Pw-12345"_s);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(get("/Index.html", "www.shop.example").status, 200) << i;

    // Rights taken away: the next request is refused.
    m->files().setExplicitAces(
        WinPath::parse(u"D:\\WebRoot\\shop\\web\\Index.html"_s),
        {{true, accounts.lookup(u"shopuser"_s)->sid, emulation::accounts::rights::Read, 0}});
    const auto denied = get("/Index.html", "www.shop.example");
    EXPECT_EQ(denied.status, 401);
    EXPECT_EQ(denied.substatus, 3);
    m->files().setExplicitAces(WinPath::parse(u"D:\\WebRoot\\shop\\web\\Index.html"_s), {});
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200) << "and given back";

    // Another account, then one that does not exist: the logon follows, and fails.
    ASSERT_EQ(accounts.addUser(u"other"_s, u"Pw-12345"_s, {}, {}, 0x10040), 0u);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s, u"other"_s);
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s, u"nobody"_s);
    const auto refused = get("/Index.html", "www.shop.example");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.substatus, 1);

    // The host name moved to another site: the same request reaches that one.
    m.writeFile(u"D:\\WebRoot\\moved\\web\\Index.html"_s, "moved");
    put(u"/LM/W3SVC/10000"_s, u"ServerBindings"_s, QStringList{u":80:old.shop.example"_s});
    addSite(10001, u"moved"_s, {u":80:www.shop.example"_s}, u"D:\\WebRoot\\moved\\web"_s);
    const auto moved = get("/Index.html", "www.shop.example");
    EXPECT_EQ(moved.body, "moved");
    EXPECT_EQ(moved.entry.siteId, 10001u);
}

TEST(HttpDate, TwoTimesAskedForInTurnAreEachFormattedRight) {
    const std::time_t rfcExample = 784111777; // RFC 9110's example date
    const std::string rfcText = "Sun, 06 Nov 1994 08:49:37 GMT";
    EXPECT_EQ(w3svc::httpDate(rfcExample), rfcText);
    EXPECT_EQ(w3svc::httpDate(rfcExample + 1), "Sun, 06 Nov 1994 08:49:38 GMT");
    EXPECT_EQ(w3svc::httpDate(rfcExample), rfcText);
    EXPECT_EQ(w3svc::httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(w3svc::httpDate(rfcExample + 1), "Sun, 06 Nov 1994 08:49:38 GMT");
    EXPECT_EQ(w3svc::httpDate(rfcExample), rfcText);
    EXPECT_EQ(w3svc::httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(w3svc::parseHttpDate(w3svc::httpDate(1700000000)), 1700000000);
}

TEST_F(HandlerTest, InvalidRangesAreIgnoredAndConditionalRequestsFollowTheEtag) {
    for (const std::string range : {"bytes=5-2", "bytes=abc", "items=1-2", "bytes=1-2,4-5", "bytes=--1"}) {
        const auto r = get("/digits.txt", "www.shop.example", "GET", range);
        EXPECT_EQ(r.status, 200) << range;
        EXPECT_EQ(r.body, "0123456789") << range;
    }
    const auto whole = get("/digits.txt", "www.shop.example");
    const std::string etag = header(whole, "ETag");
    EXPECT_TRUE(QRegularExpression(u"^\"[0-9a-f]+:0\"$"_s).match(QString::fromStdString(etag)).hasMatch())
        << etag;

    auto conditional = [&](const std::string& ifNoneMatch, const std::string& ifModifiedSince = {}) {
        w3svc::Request rq = request("/digits.txt", "www.shop.example");
        rq.ifNoneMatch = ifNoneMatch;
        rq.ifModifiedSince = ifModifiedSince;
        return send(rq);
    };
    for (const std::string& tag : {etag, "W/" + etag, std::string("*"), "\"other\", " + etag}) {
        const auto r = conditional(tag);
        EXPECT_EQ(r.status, 304) << tag;
        EXPECT_TRUE(r.contentType.empty()) << "a 304 has no Content-Type";
        EXPECT_TRUE(r.body.empty());
        EXPECT_EQ(header(r, "ETag"), etag);
    }
    EXPECT_EQ(conditional("\"other\"").status, 200);
    EXPECT_EQ(conditional("\"other\"", "Fri, 31 Dec 2100 00:00:00 GMT").status, 200)
        << "If-None-Match decides over If-Modified-Since";
    EXPECT_EQ(conditional({}, "Fri, 31 Dec 2100 00:00:00 GMT").status, 304);
    EXPECT_EQ(conditional({}, "not a date").status, 200);
}

TEST_F(HandlerTest, RedirectsAreEscapedAndMethodsAnsweredAsIisDoes) {
    put(u"/LM/W3SVC/10000/ROOT"_s, u"HttpRedirect"_s,
        u"http://new.example/x y\u0001z\r\nSet-Cookie: a=b, EXACT_DESTINATION"_s);
    const auto exact = get("/", "www.shop.example");
    EXPECT_EQ(header(exact, "Location"), "http://new.example/x%20y%01z%0D%0ASet-Cookie:%20a=b");
    put(u"/LM/W3SVC/10000/ROOT"_s, u"HttpRedirect"_s, u"http://new.example/"_s);
    const auto markup = get("/\"><script>alert(1)</script>", "www.shop.example");
    EXPECT_EQ(markup.status, 302);
    EXPECT_EQ(markup.body.find("<script>"), std::string::npos) << markup.body;
    EXPECT_NE(markup.body.find("&quot;&gt;&lt;script&gt;"), std::string::npos) << markup.body;

    put(u"/LM/W3SVC/10000/ROOT"_s, u"HttpRedirect"_s, QString());
    EXPECT_EQ(get("/Index.html", "www.shop.example", "BREW").status, 501)
        << "a method HTTP.sys does not know";
    EXPECT_EQ(get("/Index.html", "www.shop.example", "PROPFIND").status, 405);
}

TEST_F(HandlerTest, EveryAnswerIsLoggedHttpSysRefusalsInItsErrorLog) {
    w3svc::Request bad = request("/a\tb", "");
    bad.method = "GET";
    w3svc::Response refused = service->reject(bad, 400, "BadRequest");
    EXPECT_TRUE(refused.close);
    EXPECT_EQ(header(refused, "Server"), "Microsoft-HTTPAPI/1.0");
    service->sent(refused, 120, 0);
    w3svc::Response unknownHost = get("/", "a%2eb");
    service->sent(unknownHost, 90, 0);
    service->flushLogs();
    const QByteArray err = m.readFile(u"C:\\WINDOWS\\system32\\LogFiles\\HTTPERR\\httperr1.log"_s);
    EXPECT_TRUE(err.contains(" 127.0.0.9 0 127.0.0.1 80 HTTP/1.1 GET /a+b 400 - BadRequest -\r\n"))
        << err.toStdString();
    EXPECT_TRUE(err.contains(" HTTP/1.1 GET / 400 - Hostname -\r\n")) << err.toStdString();

    // A site's W3C line: blanks and controls of any value as "+", the value otherwise as sent.
    iislog::LogRecord e;
    e.siteId = 7;
    e.method = u"GET"_s;
    e.uriStem = u"/a"_s;
    e.uriQuery = u"q=%0d%0a"_s;
    e.userAgent = u"A\r\nB\tC\u3000D\u0085E"_s;
    const QByteArray line = w3svc::W3cSiteLogs::line(e);
    EXPECT_TRUE(line.contains(" /a q=%0d%0a 0 - - A++B+C+D+E 0 0 0\r\n")) << line.toStdString();
    EXPECT_EQ(line.count('\n'), 1);
}

} // namespace
