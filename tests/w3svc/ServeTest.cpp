// The machine's web service as a browser meets it: a real `velmora-machine serve` on loopback
// ports chosen free at run time, sites made through the metabase, requests over raw sockets.

#include "tests/w3svc/ServeFixture.h"

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;
using served::exchange;
using served::Reply;

namespace {

class ServeTest : public served::ServedMachine {};

TEST_F(ServeTest, PrintsTheAddressMapAndWhereTheSitesAnswer) {
    start();
    EXPECT_TRUE(out.contains(u"192.168.50.10 -> 127.0.1.1"_s)) << out.toStdString();
    EXPECT_TRUE(out.contains(u"192.168.50.11 -> 127.0.1.2"_s));
    EXPECT_TRUE(out.contains(u"curl -H \"Host: www.shop.example\" http://127.0.0.1:%1/"_s.arg(80 + offset)))
        << out.toStdString();
    QProcess second;
    second.start(QString::fromUtf8(VELMORA_MACHINE_BIN),
                 {u"serve"_s, u"--machine"_s, m.folder(), u"--port-offset"_s, QString::number(offset)});
    ASSERT_TRUE(second.waitForFinished(20000)) << "a second service for the machine does not start";
    EXPECT_EQ(second.exitCode(), 3);
    EXPECT_TRUE(QString::fromUtf8(second.readAllStandardError())
                    .contains(u"W3SVC 已在运行（进程 %1）"_s.arg(serve.processId())));
    EXPECT_EQ(stop(), 0);
    EXPECT_TRUE(out.contains(u"W3SVC 已停止"_s));
}

TEST_F(ServeTest, HostRoutingPrefersTheExactHostAndIgnoresCase) {
    writeFile(u"D:\\WebRoot\\any\\web\\Default.htm"_s, "any");
    writeFile(u"D:\\WebRoot\\ip\\web\\Default.htm"_s, "ip");
    addSite(10001, u"any"_s, {u":81:"_s}, u"D:\\WebRoot\\any\\web"_s);
    addSite(10002, u"shop81"_s, {u":81:www.shop.example"_s}, u"D:\\WebRoot\\shop\\web"_s);
    addSite(10003, u"ip"_s, {u"192.168.50.11:82:"_s}, u"D:\\WebRoot\\ip\\web"_s);
    addSite(10004, u"hosted"_s, {u":83:only.example"_s}, u"D:\\WebRoot\\shop\\web"_s);
    start();

    EXPECT_EQ(get("/", "www.shop.example").body, "<p>shop</p>");
    EXPECT_EQ(get("/", "WWW.Shop.EXAMPLE:80").body, "<p>shop</p>") << "host names compare without case";
    EXPECT_EQ(get("/", "www.shop.example", {}, "GET", "127.0.0.1", 81).body, "<p>shop</p>")
        << "an exact host beats the empty host on the same port";
    EXPECT_EQ(get("/", "other.example", {}, "GET", "127.0.0.1", 81).body, "any");
    EXPECT_EQ(exchange("127.0.0.1", 81 + offset, "GET / HTTP/1.0\r\n\r\n").body, "any")
        << "HTTP/1.0 without Host: the empty host";
    EXPECT_EQ(get("/", "", {}, "GET", "127.0.0.1", 81).status, 400) << "HTTP/1.1 must name its host";
    EXPECT_EQ(get("/", "x", {}, "GET", "127.0.1.1", 81).body, "any")
        << "all unassigned answers on mapped addresses";

    EXPECT_EQ(get("/", "x", {}, "GET", "127.0.1.2", 82).body, "ip") << "the site's own address";
    EXPECT_EQ(get("/", "x", {}, "GET", "127.0.1.1", 82).status, 0) << "nothing listens on another address";
    EXPECT_EQ(get("/", "x", {}, "GET", "127.0.0.1", 82).status, 0);

    const Reply unknown = get("/", "nobody.example", {}, "GET", "127.0.0.1", 83);
    EXPECT_EQ(unknown.status, 400);
    EXPECT_EQ(unknown.body, "<h1>Bad Request (Invalid Hostname)</h1>");
    EXPECT_EQ(unknown.header("server"), "Microsoft-HTTPAPI/1.0") << "HTTP.sys answers, not IIS";
}

TEST_F(ServeTest, SiteChangesInTheMetabaseTakeEffectOnTheNextRequest) {
    writeFile(u"D:\\WebRoot\\b\\web\\Default.htm"_s, "b");
    addSite(10001, u"b"_s, {u":81:b.example"_s}, u"D:\\WebRoot\\b\\web"_s);
    addSite(10002, u"c"_s, {u":81:c.example"_s}, u"D:\\WebRoot\\b\\web"_s);
    start();
    auto site = bind(u"/LM/W3SVC/10001"_s);

    EXPECT_EQ(get("/", "b.example", {}, "GET", "127.0.0.1", 81).status, 200);
    ASSERT_TRUE(site->Pause());
    EXPECT_EQ(get("/", "b.example", {}, "GET", "127.0.0.1", 81).status, 503) << "paused";
    ASSERT_TRUE(site->Stop());
    EXPECT_EQ(get("/", "b.example", {}, "GET", "127.0.0.1", 81).status, 400) << "stopped: no bindings";
    ASSERT_TRUE(site->Start());
    EXPECT_EQ(get("/", "b.example", {}, "GET", "127.0.0.1", 81).body, "b");

    put(u"/LM/W3SVC/10001"_s, u"ServerBindings"_s, QStringList{u":81:renamed.example"_s});
    EXPECT_EQ(get("/", "b.example", {}, "GET", "127.0.0.1", 81).status, 400);
    EXPECT_EQ(get("/", "renamed.example", {}, "GET", "127.0.0.1", 81).body, "b");

    writeFile(u"D:\\WebRoot\\new\\web\\Default.htm"_s, "new");
    addSite(10005, u"new"_s, {u":81:new.example"_s}, u"D:\\WebRoot\\new\\web"_s);
    EXPECT_EQ(get("/", "new.example", {}, "GET", "127.0.0.1", 81).body, "new") << "created while serving";
    ASSERT_TRUE(bind(u"/LM/W3SVC"_s)->Delete(u"IIsWebServer"_s, u"10005"_s));
    EXPECT_EQ(get("/", "new.example", {}, "GET", "127.0.0.1", 81).status, 400) << "deleted while serving";

    // A port that only a new site uses is opened in the background, and closed when it goes.
    addSite(10006, u"port"_s, {u":84:"_s}, u"D:\\WebRoot\\new\\web"_s);
    EXPECT_TRUE(eventually([&] { return get("/", "x", {}, "GET", "127.0.0.1", 84).body == "new"; }));
    ASSERT_TRUE(bind(u"/LM/W3SVC/10006"_s)->Stop());
    EXPECT_TRUE(eventually([&] { return get("/", "x", {}, "GET", "127.0.0.1", 84).status == 0; }));
}

TEST_F(ServeTest, PermanentRedirectCarriesThePathAndTheQuery) {
    addSite(10001, u"moved"_s, {u":80:old.example"_s}, u"D:\\WebRoot\\shop\\web"_s,
            {{u"HttpRedirect"_s, MetaValue(u"http://new.example$S$Q, EXACT_DESTINATION, PERMANENT"_s)}});
    start();
    const Reply r = get("/a/b.htm?x=1&y=2", "old.example");
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.header("location"), "http://new.example/a/b.htm?x=1&y=2");
    EXPECT_EQ(get("/a/", "old.example").header("location"), "http://new.example/a/");
    EXPECT_EQ(get("/", "old.example").header("location"), "http://new.example/");
    EXPECT_EQ(get("/$Q$S", "old.example").header("location"), "http://new.example/$Q$S")
        << "the request's own text is not substituted";
    EXPECT_EQ(get("/x", "old.example", {}, "POST", "127.0.0.1", 80, "a=b").status, 301)
        << "the redirect applies to every method";
}

TEST_F(ServeTest, FoldersServeTheirFirstDefaultDocument) {
    writeFile(u"D:\\WebRoot\\shop\\web\\default.htm"_s, "default first");
    writeFile(u"D:\\WebRoot\\shop\\web\\sub\\Index.htm"_s, "sub index");
    writeFile(u"D:\\WebRoot\\shop\\web\\empty\\other.txt"_s, "x");
    start();
    // A fresh server's default site answers with its under-construction page, as IIS 6 does.
    const Reply fresh = get("/", "any.example");
    EXPECT_EQ(fresh.status, 200);
    EXPECT_EQ(QByteArray::fromStdString(fresh.body), m.readFile(u"C:\\Inetpub\\wwwroot\\iisstart.htm"_s));
    EXPECT_EQ(get("/", "www.shop.example").body, "default first") << "the list's order, names without case";
    EXPECT_EQ(get("/sub/", "www.shop.example").body, "sub index");
    const Reply folder = get("/sub?q=1", "www.shop.example");
    EXPECT_EQ(folder.status, 301) << "a folder without its final slash";
    EXPECT_EQ(folder.header("location"), "http://www.shop.example/sub/?q=1");
    EXPECT_EQ(get("/empty/", "www.shop.example").status, 403) << "403.14: no default document";
    EXPECT_EQ(get("/INDEX.HTML", "www.shop.example").body, "<p>shop</p>") << "file names without case";

    put(u"/LM/W3SVC/10000/ROOT"_s, u"EnableDefaultDoc"_s, false);
    EXPECT_EQ(get("/", "www.shop.example").status, 403);
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200);
}

TEST_F(ServeTest, NoRequestLeavesTheHomeDirectory) {
    start();
    for (const std::string path :
         {"/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/..%2fsecret.txt",
          "/..\\secret.txt", "/%2e%2e%5csecret.txt", "/%c0%ae%c0%ae/secret.txt", "/%c0%2e%c0%2e/secret.txt",
          "/%e0%80%ae%e0%80%ae/secret.txt", "/%u002e%u002e/secret.txt", "/sub/../../secret.txt",
          "/.%2e/secret.txt", "/C:/secret.txt", "/Index.html::$DATA", "/Index.html.", "/%00/secret.txt"}) {
        const Reply r = get(path, "www.shop.example");
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body.find("SECRET"), std::string::npos) << path;
    }
    EXPECT_EQ(get("/%49ndex.html", "www.shop.example").body, "<p>shop</p>") << "plain escapes still decode";
}

TEST_F(ServeTest, MimeTypesComeFromTheSiteOverTheService) {
    writeFile(u"D:\\WebRoot\\shop\\web\\a.txt"_s, "t");
    writeFile(u"D:\\WebRoot\\shop\\web\\a.foo"_s, "f");
    writeFile(u"D:\\WebRoot\\shop\\web\\a.xyz"_s, "x");
    writeFile(u"D:\\WebRoot\\shop\\web\\noext"_s, "n");
    put(u"/LM/W3SVC/10000"_s, u"MimeMap"_s,
        MetaValue(platform::MimeMapList{{u".foo"_s, u"application/x-foo"_s}, {u".TXT"_s, u"text/x-site"_s}}));
    start();
    EXPECT_EQ(get("/Index.html", "www.shop.example").header("content-type"), "text/html")
        << "the machine's map";
    EXPECT_EQ(get("/a.foo", "www.shop.example").header("content-type"), "application/x-foo");
    EXPECT_EQ(get("/a.txt", "www.shop.example").header("content-type"), "text/x-site") << "the site's wins";
    EXPECT_EQ(get("/a.xyz", "www.shop.example").status, 404) << "404.3: no MIME type, not served";
    EXPECT_EQ(get("/noext", "www.shop.example").status, 404);
}

TEST_F(ServeTest, FilesAreReadAsTheAnonymousUser) {
    auto& accounts = m->accounts();
    ASSERT_EQ(accounts.addUser(u"shopuser"_s, u"Pw-12345"_s, {}, {}, 0x10040), 0u);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserName"_s, u"shopuser"_s);
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserPass"_s, u"Pw-12345"_s);
    writeFile(u"D:\\WebRoot\\shop\\web\\locked.htm"_s, "locked");
    const auto user = accounts.lookup(u"shopuser"_s).value();
    m->files().setExplicitAces(emulation::files::WinPath::parse(u"D:\\WebRoot\\shop\\web\\locked.htm"_s),
                               {{true, user.sid, emulation::accounts::rights::Read, 0}});
    start();
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200) << "the site's own account reads its page";
    const Reply locked = get("/locked.htm", "www.shop.example");
    EXPECT_EQ(locked.status, 401) << "401.3: the access check denies";
    EXPECT_EQ(locked.body.find("locked<"), std::string::npos);

    // The folder locked down for the account: nothing is served, the default page neither.
    m->files().setExplicitAces(
        emulation::files::WinPath::parse(u"D:\\WebRoot\\shop\\web"_s),
        {{true, user.sid, emulation::accounts::rights::Read,
          emulation::accounts::aceflags::ObjectInherit | emulation::accounts::aceflags::ContainerInherit}});
    EXPECT_EQ(get("/", "www.shop.example").status, 401);

    put(u"/LM/W3SVC/10000/ROOT"_s, u"AnonymousUserPass"_s, u"wrong"_s);
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 401) << "401.1: the logon fails";
    put(u"/LM/W3SVC/10000/ROOT"_s, u"AccessRead"_s, false);
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 403) << "403.2: read access off";
}

// The commands and metabase writes of the window's create-site road, then the site's default page
// over HTTP, read as the site's own account through the permissions the commands granted.
TEST_F(ServeTest, ASiteMadeAsTheWindowMakesItServesItsDefaultPage) {
    ASSERT_EQ(tool({u"install-program"_s}), 0);
    auto run = [&](const QString& line) {
        const auto ran = m->interpreter().RunHidden(line);
        ASSERT_TRUE(ran) << line.toStdString();
    };
    run(u"cmd.exe /c md D:\\Sites\\mall\\web"_s);
    run(u"cmd.exe /c md D:\\Sites\\mall\\log"_s);
    run(u"cmd.exe /c cacls \"D:\\Sites\" /t /e /c /g administrators:F"_s);
    run(u"cmd.exe /c cacls \"D:\\Sites\" /t /e /r users"_s);
    run(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html \"D:\\Sites\\mall\\web\\\""_s);
    addSite(10001, u"mall"_s, {u":80:www.mall.example"_s}, u"D:\\Sites\\mall\\web"_s);
    run(u"cmd.exe /c icacls \"D:\\Sites\\mall\" /deny IUSR_VELMORA:(OI)(CI)(RD)"_s);
    start();
    EXPECT_EQ(get("/", "www.mall.example").status, 401) << "the service's own account is denied";

    run(u"cmd.exe /c net user mall Mall-pw-1 /add"_s);
    put(u"/LM/W3SVC/10001/ROOT"_s, u"AnonymousUserName"_s, u"mall"_s);
    put(u"/LM/W3SVC/10001/ROOT"_s, u"AnonymousUserPass"_s, u"Mall-pw-1"_s);
    run(u"cmd.exe /c icacls \"D:\\Sites\\mall\" /grant:r mall:(OI)(CI)(RA,REA,RC,RD,WD,S) /deny mall:(OI)(CI)(WA,WEA)"_s);
    run(u"cmd.exe /c icacls \"D:\\Sites\\mall\\web \" /grant:r "
        u"mall:(OI)(CI)(RA,RC,REA,RD,DC,GW,WA,WEA,WDAC,S) "
        "/deny mall:(DE)"_s);
    const Reply page = get("/", "www.mall.example");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(QByteArray::fromStdString(page.body),
              m.readFile(u"C:\\WINDOWS\\system32\\drivers\\index.html"_s));
    EXPECT_EQ(page.header("content-type"), "text/html");

    ASSERT_TRUE(bind(u"/LM/W3SVC/10001"_s)->Pause());
    EXPECT_EQ(get("/", "www.mall.example").status, 503);
}

TEST_F(ServeTest, HeadRangeConditionalAndOtherMethods) {
    writeFile(u"D:\\WebRoot\\shop\\web\\digits.txt"_s, "0123456789");
    start();
    const Reply head = get("/digits.txt", "www.shop.example", {}, "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-length"), "10");
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(head.header("server"), "Microsoft-IIS/6.0");

    const Reply part = get("/digits.txt", "www.shop.example", "Range: bytes=2-4\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, "234");
    EXPECT_EQ(part.header("content-range"), "bytes 2-4/10");
    EXPECT_EQ(get("/digits.txt", "www.shop.example", "Range: bytes=-4\r\n").body, "6789");
    EXPECT_EQ(get("/digits.txt", "www.shop.example", "Range: bytes=8-\r\n").body, "89");
    const Reply beyond = get("/digits.txt", "www.shop.example", "Range: bytes=50-\r\n");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.header("content-range"), "bytes */10");

    const std::string modified = get("/digits.txt", "www.shop.example").header("last-modified");
    ASSERT_FALSE(modified.empty());
    const Reply same = get("/digits.txt", "www.shop.example", "If-Modified-Since: " + modified + "\r\n");
    EXPECT_EQ(same.status, 304);
    EXPECT_TRUE(same.body.empty());
    EXPECT_EQ(same.headers.count("content-length"), 0u) << "a 304 carries no Content-Length";
    EXPECT_EQ(same.headers.count("content-type"), 0u);
    const std::string etag = get("/digits.txt", "www.shop.example").header("etag");
    EXPECT_EQ(get("/digits.txt", "www.shop.example", "If-None-Match: " + etag + "\r\n").status, 304);
    // A Range that is not well formed is passed over: the whole file, from IIS, and logged.
    const Reply invalid = get("/digits.txt", "www.shop.example", "Range: bytes=9-2\r\n");
    EXPECT_EQ(invalid.status, 200);
    EXPECT_EQ(invalid.header("server"), "Microsoft-IIS/6.0");
    EXPECT_EQ(get("/digits.txt", "www.shop.example", {}, "BREW").status, 501);
    EXPECT_EQ(
        get("/digits.txt", "www.shop.example", "If-Modified-Since: Mon, 01 Jan 2001 00:00:00 GMT\r\n").status,
        200);

    writeFile(u"D:\\WebRoot\\shop\\web\\digits.txt"_s, "9876543210");
    EXPECT_EQ(get("/digits.txt", "www.shop.example").body, "9876543210") << "a changed file is read again";

    QByteArray big(300 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    writeFile(u"D:\\WebRoot\\shop\\web\\big.txt"_s, big);
    const Reply whole = get("/big.txt", "www.shop.example");
    EXPECT_EQ(whole.header("content-length"), std::to_string(big.size()));
    EXPECT_TRUE(QByteArray::fromStdString(whole.body) == big) << "a large file comes whole";
    const Reply tail = get("/big.txt", "www.shop.example", "Range: bytes=307190-\r\n");
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(QByteArray::fromStdString(tail.body), big.mid(307190));
    EXPECT_TRUE(get("/big.txt", "www.shop.example", {}, "HEAD").body.empty());

    EXPECT_EQ(get("/digits.txt", "www.shop.example", {}, "TRACE").status, 405);
    for (const std::string method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        const Reply r = get("/digits.txt", "www.shop.example", {}, method, "127.0.0.1", 80, "abc");
        EXPECT_EQ(r.status, 405) << method;
    }
}

TEST_F(ServeTest, EveryRequestGoesIntoTheSitesW3cLog) {
    writeFile(u"D:\\WebRoot\\shop\\web\\a.xyz"_s, "x");
    writeFile(u"D:\\WebRoot\\shop\\web\\empty\\x.txt"_s, "x");
    start();
    get("/Index.html?a=b", "www.shop.example", "User-Agent: Test Agent/1.0\r\n");
    get("/missing.htm", "www.shop.example");
    get("/a.xyz", "www.shop.example");
    get("/empty/", "www.shop.example");
    get("/", "nobody.example"); // the default site
    EXPECT_EQ(stop(), 0);
    const QString file = u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC10000\\ex"_s + today() + u".log"_s;
    const QString log = QString::fromUtf8(m.readFile(file));
    EXPECT_TRUE(log.startsWith(u"#Software: Microsoft Internet Information Services 6.0\r\n"_s))
        << log.toStdString();
    EXPECT_TRUE(log.contains(u"#Fields: date time s-sitename s-ip cs-method cs-uri-stem"_s));
    EXPECT_TRUE(log.contains(
        u" W3SVC10000 127.0.0.1 GET /Index.html a=b 80 - 127.0.0.1 Test+Agent/1.0 200 0 0\r\n"_s))
        << log.toStdString();
    EXPECT_TRUE(log.contains(u" GET /missing.htm - 80 - 127.0.0.1 - 404 0 2\r\n"_s));
    EXPECT_TRUE(log.contains(u" GET /a.xyz - 80 - 127.0.0.1 - 404 3 50\r\n"_s)) << "the substatus is logged";
    EXPECT_TRUE(log.contains(u" GET /empty/ - 80 - 127.0.0.1 - 403 14 5\r\n"_s));
    EXPECT_FALSE(log.contains(u"nobody"_s));
    const QString other =
        QString::fromUtf8(m.readFile(u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC1\\ex"_s + today() + u".log"_s));
    EXPECT_TRUE(other.contains(u" W3SVC1 127.0.0.1 GET / - 80 "_s)) << other.toStdString();
}

TEST_F(ServeTest, ManySitesLogWithoutRunningOutOfFiles) {
    constexpr int Sites = 300; // more than the logs kept open at once
    for (int i = 0; i < Sites; ++i)
        addSite(20000 + i, u"s%1"_s.arg(i), {u":80:s%1.example"_s.arg(i)}, u"D:\\WebRoot\\shop\\web"_s);
    start();
    for (int i = 0; i < Sites; ++i)
        ASSERT_EQ(get("/Index.html", u"s%1.example"_s.arg(i).toStdString()).status, 200) << i;
    get("/again", "s0.example"); // its log was closed on the way
    EXPECT_EQ(stop(), 0);
    for (const int i : {0, 1, Sites - 1}) {
        const QString log = QString::fromUtf8(m.readFile(
            u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC%1\\ex"_s.arg(20000 + i) + today() + u".log"_s));
        EXPECT_EQ(log.count(u"#Software"_s), 1) << "one header a run: " << log.toStdString();
        EXPECT_TRUE(log.contains(u" GET /Index.html - 80 "_s)) << i;
    }
    const QString first = QString::fromUtf8(
        m.readFile(u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC20000\\ex"_s + today() + u".log"_s));
    EXPECT_TRUE(first.contains(u" GET /again - 80 "_s));
}

TEST_F(ServeTest, CentralBinaryLogHoldsEveryRequestAfterACleanStop) {
    put(u"/LM/W3SVC"_s, u"CentralBinaryLoggingEnabled"_s, true);
    put(u"/LM/W3SVC"_s, u"LogFileDirectory"_s, u"D:\\Logs"_s);
    start();
    constexpr int Requests = 300;
    for (int i = 0; i < Requests; ++i)
        get("/Index.html?n=" + std::to_string(i), "www.shop.example");
    get("/nothing", "www.shop.example");
    get("/", "other.example"); // the default site, logged too
    EXPECT_EQ(stop(), 0);

    iislog::Reader reader;
    ASSERT_TRUE(reader.open(m->hostPath(u"D:\\Logs\\W3SVC\\ra"_s + today() + u".ibl"_s)));
    int shop = 0, site1 = 0;
    iislog::LogRecord r;
    while (reader.next(r)) {
        if (r.siteId == 1) {
            ++site1;
            continue;
        }
        ASSERT_EQ(r.siteId, 10000u);
        if (r.uriStem == u"/nothing"_s) {
            EXPECT_EQ(r.status, 404);
            EXPECT_EQ(r.win32Status, 2u);
            continue;
        }
        EXPECT_EQ(r.uriStem, u"/Index.html"_s);
        EXPECT_EQ(r.uriQuery, u"n=%1"_s.arg(shop));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.method, u"GET"_s);
        EXPECT_EQ(r.host, u"www.shop.example"_s);
        EXPECT_EQ(r.serverPort, 80);
        EXPECT_GT(r.bytesSent, 11u) << "headers and the page";
        EXPECT_GT(r.bytesReceived, 30u);
        EXPECT_LT(r.timeTaken, 10000u);
        EXPECT_LE(std::abs(r.timeMs - QDateTime::currentMSecsSinceEpoch()), 120000);
        ++shop;
    }
    EXPECT_TRUE(reader.errorString().isEmpty()) << reader.errorString().toStdString();
    EXPECT_EQ(shop, Requests) << "nothing lost at the stop";
    EXPECT_EQ(site1, 1);
}

// The log folder set in the window while the service runs: the next request goes to the new log.
TEST_F(ServeTest, SwitchingToCentralLoggingWhileServing) {
    start();
    get("/Index.html?before", "www.shop.example");
    put(u"/LM/W3SVC"_s, u"CentralBinaryLoggingEnabled"_s, true);
    put(u"/LM/W3SVC"_s, u"LogFileDirectory"_s, u"D:\\Logs\\iislog"_s);
    get("/Index.html?after", "www.shop.example");
    EXPECT_EQ(stop(), 0);
    const QString w3c = QString::fromUtf8(
        m.readFile(u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC10000\\ex"_s + today() + u".log"_s));
    EXPECT_TRUE(w3c.contains(u"/Index.html before"_s)) << w3c.toStdString();
    EXPECT_FALSE(w3c.contains(u"after"_s));
    iislog::Reader reader;
    ASSERT_TRUE(reader.open(m->hostPath(u"D:\\Logs\\iislog\\W3SVC\\ra"_s + today() + u".ibl"_s)));
    iislog::LogRecord r;
    ASSERT_TRUE(reader.next(r));
    EXPECT_EQ(r.uriQuery, u"after"_s);
    EXPECT_FALSE(reader.next(r));
}

TEST_F(ServeTest, ExtractionCutsTheSitesDayOutOfRealRequests) {
    ASSERT_EQ(tool({u"install-program"_s}), 0);
    put(u"/LM/W3SVC"_s, u"CentralBinaryLoggingEnabled"_s, true);
    put(u"/LM/W3SVC"_s, u"LogFileDirectory"_s, u"D:\\Logs"_s);
    writeFile(u"D:\\WebRoot\\shop\\log\\keep.txt"_s, "");
    start();
    get("/Index.html", "www.shop.example");
    get("/missing", "www.shop.example");
    get("/", "elsewhere.example");
    stop();
    const auto ran = m->interpreter().RunHidden(
        u"cmd.exe /c C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe -i:BIN -o:W3C \"select * into "
        "D:\\WebRoot\\shop\\log\\ex%1.log from D:\\Logs\\W3SVC\\ra%1.ibl where siteid=10000\""_s.arg(
            today()));
    ASSERT_TRUE(ran);
    EXPECT_EQ(ran.value().exitCode, 0) << ran.value().output.toStdString();
    const QString log = QString::fromUtf8(m.readFile(u"D:\\WebRoot\\shop\\log\\ex"_s + today() + u".log"_s));
    EXPECT_TRUE(log.contains(u"/Index.html"_s)) << log.toStdString();
    EXPECT_TRUE(log.contains(u"/missing"_s));
    EXPECT_FALSE(log.contains(u"elsewhere"_s)) << "another site's request";
}

TEST_F(ServeTest, StoppingTheServiceRefusesConnectionsUntilItStarts) {
    start();
    ASSERT_EQ(get("/", "www.shop.example").status, 200);
    ASSERT_EQ(tool({u"service"_s, u"stop"_s, u"w3svc"_s}), 0);
    EXPECT_TRUE(eventually([&] { return get("/", "www.shop.example").status == 0; }))
        << "connections are refused";
    ASSERT_EQ(tool({u"service"_s, u"start"_s, u"w3svc"_s}), 0);
    EXPECT_TRUE(eventually([&] { return get("/", "www.shop.example").status == 200; }));

    ASSERT_EQ(tool({u"cmd"_s, u"cmd.exe /c iisreset"_s}), 0);
    QString notes;
    serve.setReadChannel(QProcess::StandardError);
    EXPECT_TRUE(eventually([&] {
        serve.waitForReadyRead(50);
        notes += QString::fromUtf8(serve.readAllStandardError());
        return notes.contains(u"iisreset"_s);
    })) << "the service restarts";
    EXPECT_EQ(get("/", "www.shop.example").status, 200) << "and answers again";
    EXPECT_EQ(stop(), 0);
}

} // namespace
