// The web service's request handler called directly, without listeners or sockets: which site a
// request reaches, what it is answered with from the site's files, what the anonymous user's
// rights allow, and the record that goes into the logs.

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/metabase/MetabaseStore.h"
#include "emulation/w3svc/ErrorPages.h"
#include "emulation/w3svc/WebService.h"
#include "tests/support/TempMachine.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

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
        w3svc::Request rq;
        rq.localIp = u"127.0.0.1"_s;
        rq.port = 80;
        rq.listenPort = 80;
        rq.method = method;
        rq.target = target;
        rq.version = "HTTP/1.1";
        rq.host = host;
        rq.range = range;
        rq.userAgent = "Handler Test/1.0";
        rq.clientIp = u"127.0.0.9"_s;
        rq.bytesReceived = 64;
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

} // namespace
