// The web service under clients that misbehave on purpose, over real loopback sockets: bodies it
// must not read, heads past HTTP.sys's limits, slow and idle clients, descriptor exhaustion,
// request smuggling, pipelining, and values that would forge log lines.

#include "tests/w3svc/HostileClients.h"

#include <sys/resource.h>

#include <memory>
#include <thread>

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;
using served::parseReplies;
using served::RawClient;
using served::Reply;

namespace {

class HostileClientTest : public served::ServedMachine {
protected:
    int port() const { return 80 + offset; }
    std::string request(const std::string& path, const std::string& extra = {}) const {
        return "GET " + path + " HTTP/1.1\r\nHost: www.shop.example\r\n" + extra + "\r\n";
    }
    qint64 pid() const { return serve.processId(); }
    // Sends bytes on a connection of their own and returns every answer until the server closes.
    std::vector<Reply> answersTo(const std::string& bytes, bool& closed,
                                 const std::vector<bool>& heads = {}) {
        RawClient c("127.0.0.1", port());
        EXPECT_TRUE(c.connected());
        c.send(bytes);
        return parseReplies(c.readAll(closed, 5000), heads);
    }
};

TEST_F(HostileClientTest, BodiesThatNoFileTakesAreNeverReadAndHeadsStayWithinHttpSysLimits) {
    start();
    // A 256 MB POST is answered from its head, and the connection closes.
    {
        RawClient c("127.0.0.1", port());
        c.send("POST /Index.html HTTP/1.1\r\nHost: www.shop.example\r\nContent-Length: 268435456\r\n\r\n");
        bool closed = false;
        const auto replies = parseReplies(c.readAll(closed));
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].status, 405);
        EXPECT_EQ(replies[0].header("connection"), "close");
        EXPECT_TRUE(closed);
    }
    // Four of them sending at once leave the process small.
    const long before = served::residentKb(pid());
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i)
        senders.emplace_back([this] {
            RawClient c("127.0.0.1", port());
            c.send(
                "POST /Index.html HTTP/1.1\r\nHost: www.shop.example\r\nContent-Length: 268435456\r\n\r\n");
            const std::string chunk(1 << 20, 'x');
            for (int mb = 0; mb < 64 && c.send(chunk); ++mb) {
            }
        });
    for (auto& t : senders)
        t.join();
    EXPECT_LT(served::residentKb(pid()) - before, 50 * 1024) << "no body is kept";

    bool closed = false;
    // Header fields past MaxRequestBytes (16 KB): 400, not read on.
    std::string many;
    for (int i = 0; i < 2000; ++i)
        many += "X-Filler-" + std::to_string(i) + ": a\r\n";
    auto replies = answersTo(request("/Index.html", many), closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 400);
    EXPECT_TRUE(closed);
    // One field past MaxFieldLength.
    replies = answersTo(request("/Index.html", "Cookie: " + std::string(17000, 'c') + "\r\n"), closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 400);
    // A request line past it: 414 at once, before the client has sent the rest.
    {
        RawClient c("127.0.0.1", port());
        const auto sent = std::chrono::steady_clock::now();
        c.send("GET /" + std::string(17000, 'a'));
        replies = parseReplies(c.readAll(closed));
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].status, 414);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1)) << "not delayed";
    }
    // A head just within the limits is served.
    replies = answersTo(
        request("/Index.html", "Cookie: " + std::string(15000, 'c') + "\r\nConnection: close\r\n"), closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 200);
}

TEST_F(HostileClientTest, SlowAndIdleClientsTimeOutAndHoldNoThread) {
    put(u"/LM/W3SVC"_s, u"ConnectionTimeout"_s, 1u);
    start();
    const int threads = served::threadCount(pid());
    // Many clients that each send a byte and then nothing hold no thread of their own.
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 300; ++i) {
        slow.push_back(std::make_unique<RawClient>("127.0.0.1", port()));
        slow.back()->send("G");
    }
    EXPECT_EQ(served::threadCount(pid()), threads) << "a fixed number of threads";
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200) << "others are served meanwhile";
    // ConnectionTimeout (1 s here): an unfinished head and an idle connection are closed.
    EXPECT_TRUE(slow.front()->closedWithin(5000));
    RawClient idle("127.0.0.1", port());
    EXPECT_TRUE(idle.closedWithin(5000));
    // A client that keeps sending a byte now and then does not keep its head open past it.
    RawClient dribble("127.0.0.1", port());
    const auto begun = std::chrono::steady_clock::now();
    bool closed = false;
    for (const char c : request("/Index.html") + std::string(2000, ' ')) {
        if (!dribble.send(std::string(1, c)) || dribble.closedWithin(200)) {
            closed = true;
            break;
        }
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
    slow.clear();
    EXPECT_EQ(served::threadCount(pid()), threads);
}

TEST_F(HostileClientTest, WhenDescriptorsRunOutServedConnectionsGoOnAndNewOnesWait) {
    // The service may hold 64 descriptors at most.
    serve.setChildProcessModifier([] {
        const rlimit few{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &few);
    });
    start();
    RawClient first("127.0.0.1", port());
    ASSERT_TRUE(first.send(request("/Index.html")));
    bool closed = false;
    ASSERT_EQ(parseReplies(first.readAll(closed, 1000)).size(), 1u);
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 100; ++i)
        crowd.push_back(std::make_unique<RawClient>("127.0.0.1", port()));
    // The connection already served goes on being served.
    ASSERT_TRUE(first.send(request("/Index.html")));
    const auto again = parseReplies(first.readAll(closed, 1000));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].status, 200);
    // Once the crowd leaves, new connections are accepted again; the process never ended.
    crowd.clear();
    EXPECT_TRUE(eventually([&] { return get("/Index.html", "www.shop.example").status == 200; }));
    EXPECT_EQ(serve.state(), QProcess::Running);
}

TEST_F(HostileClientTest, ConflictingOrMalformedFramingIsRefusedAndTheConnectionCloses) {
    start();
    const std::string smuggled = "GET /secret-second HTTP/1.1\r\nHost: www.shop.example\r\n\r\n";
    const std::string post = "POST /Index.html HTTP/1.1\r\nHost: www.shop.example\r\n";
    for (const std::string& framing :
         {std::string("Content-Length: 5\r\nContent-Length: 5\r\n"), std::string("Content-Length: +0\r\n"),
          std::string("Content-Length: 0x10\r\n"), std::string("Content-Length: 0, 5\r\n"),
          std::string("Content-Length: 5abc\r\n"), std::string("Content-Length: -1\r\n"),
          std::string("Transfer-Encoding: xchunked\r\n"),
          std::string("Transfer-Encoding: identity, chunked\r\nContent-Length: 5\r\n"),
          std::string("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n"),
          std::string("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"),
          std::string("Transfer-Encoding:\r\n chunked\r\n"), std::string("X-Folded: a\r\n\tb\r\n"),
          std::string("Bad Name: x\r\n"), std::string("X-Nul: a\0b\r\n", 12)}) {
        bool closed = false;
        const auto replies = answersTo(post + framing + "\r\n" + smuggled, closed);
        ASSERT_EQ(replies.size(), 1u) << framing;
        EXPECT_EQ(replies[0].status, 400) << framing;
        EXPECT_TRUE(closed) << framing;
    }
    bool closed = false;
    // A bare LF ends no line.
    auto replies = answersTo("GET /Index.html HTTP/1.1\nHost: www.shop.example\n\n", closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 400);
    // HTTP/1.0 has no Transfer-Encoding.
    replies = answersTo("POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 400);

    // A GET's small body is read and dropped: the request inside it is never answered.
    replies =
        answersTo(request("/Index.html", "Content-Length: " + std::to_string(smuggled.size()) + "\r\n") +
                      smuggled + request("/digits.txt", "Connection: close\r\n"),
                  closed);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].status, 200);
    EXPECT_EQ(replies[1].status, 404) << "the request after the body, not the one inside it";
    EXPECT_TRUE(closed);
    // A GET with a chunked body is answered and the connection closes rather than read it.
    replies =
        answersTo(request("/Index.html", "Transfer-Encoding: chunked\r\n") + "5\r\n" + smuggled, closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].header("connection"), "close");
    EXPECT_TRUE(closed);
}

TEST_F(HostileClientTest, PipelinedRequestsAreAllAnsweredInOrder) {
    writeFile(u"D:\\WebRoot\\shop\\web\\digits.txt"_s, "0123456789");
    start();
    bool closed = false;
    const auto replies = answersTo(request("/Index.html") + request("/missing.htm") +
                                       "HEAD /digits.txt HTTP/1.1\r\nHost: www.shop.example\r\n\r\n" +
                                       request("/digits.txt", "Range: bytes=2-3\r\nConnection: close\r\n"),
                                   closed, {false, false, true, false});
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0].body, "<p>shop</p>");
    EXPECT_EQ(replies[1].status, 404);
    EXPECT_EQ(replies[2].header("content-length"), "10");
    EXPECT_EQ(replies[3].body, "23");
    EXPECT_TRUE(closed);
    // Sent a byte at a time, two requests still get two answers.
    RawClient c("127.0.0.1", port());
    for (const char ch : request("/Index.html") + request("/Index.html", "Connection: close\r\n"))
        c.send(std::string(1, ch));
    EXPECT_EQ(parseReplies(c.readAll(closed, 5000)).size(), 2u);
}

TEST_F(HostileClientTest, ALongRunOfPipelinedRequestsIsAnsweredWholeAndInOrder) {
    writeFile(u"D:\\WebRoot\\shop\\web\\digits.txt"_s, "0123456789");
    start();
    // Far more answers than are written at once further up the stack: the rest go through the loop.
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += i % 2 == 0 ? request("/Index.html")
                            : request("/digits.txt", "Range: bytes=" + std::to_string(i % 10) + "-9\r\n");
    bytes += request("/digits.txt", "Connection: close\r\n");
    bool closed = false;
    const auto replies = answersTo(bytes, closed);
    ASSERT_EQ(replies.size(), 201u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(replies[i].body,
                  i % 2 == 0 ? std::string("<p>shop</p>") : std::string("0123456789").substr(i % 10))
            << i;
    EXPECT_EQ(replies[200].body, "0123456789");
    EXPECT_TRUE(closed);
}

TEST_F(HostileClientTest, AnswersLargerThanTheSocketTakesAtOnceArriveWhole) {
    // Below the size that is sent from the disk: each answer is one buffer, written in part at
    // first while the client reads nothing, and the rest once it reads.
    std::string page(240 * 1024, 'p');
    for (std::size_t i = 0; i < page.size(); i += 1000)
        page[i] = static_cast<char>('a' + (i / 1000) % 26);
    writeFile(u"D:\\WebRoot\\shop\\web\\big.htm"_s, QByteArray::fromStdString(page));
    start();
    std::string bytes;
    for (int i = 0; i < 100; ++i) // more than the sockets' buffers hold
        bytes += request("/big.htm");
    bytes += request("/Index.html", "Connection: close\r\n");
    RawClient c("127.0.0.1", port());
    ASSERT_TRUE(c.connected());
    c.send(bytes);
    bool closed = false;
    const auto replies = parseReplies(c.readAll(closed, 10000));
    ASSERT_EQ(replies.size(), 101u);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(replies[i].body == page) << i;
    EXPECT_EQ(replies[100].body, "<p>shop</p>");
    EXPECT_TRUE(closed);
}

TEST_F(HostileClientTest, HeaderValuesNeverForgeOrTearW3cLogLines) {
    // A line a crash cut off before this run.
    const QString log = u"C:\\WINDOWS\\system32\\LogFiles\\W3SVC10000\\ex"_s + today() + u".log"_s;
    writeFile(
        log, "#Software: Microsoft Internet Information Services 6.0\r\n2026-01-01 00:00:00 W3SVC10000 torn");
    start();
    get("/Index.html", "www.shop.example", "User-Agent: Probe%0d%0a2026-01-01 00:00:00 forged\tline\r\n");
    get("/%49ndex.html?a=%0d%0a", "www.shop.example");
    EXPECT_EQ(stop(), 0);
    const QByteArray text = m.readFile(log);
    EXPECT_TRUE(text.contains("W3SVC10000 torn\r\n#Software:")) << "the torn line is ended first";
    EXPECT_TRUE(text.contains(" Probe%0d%0a2026-01-01+00:00:00+forged+line 200 ")) << text.toStdString();
    EXPECT_TRUE(text.contains(" /Index.html a=%0d%0a 80 ")) << "the query as sent";
    EXPECT_EQ(text.count("\r\n"), text.count('\n')) << "every line ends in CRLF, none inside a value";
}

TEST_F(HostileClientTest, HttpSysRefusalsAreLoggedInItsErrorLog) {
    start();
    bool closed = false;
    answersTo("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", closed);
    answersTo("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", closed);
    EXPECT_EQ(stop(), 0);
    const QByteArray err = m.readFile(u"C:\\WINDOWS\\system32\\LogFiles\\HTTPERR\\httperr1.log"_s);
    EXPECT_TRUE(err.startsWith("#Software: Microsoft HTTP API 1.0\r\n")) << err.toStdString();
    EXPECT_TRUE(err.contains(" HTTP/1.1 GET / 400 - Hostname -\r\n")) << err.toStdString();
    EXPECT_TRUE(err.contains(" HTTP/1.1 POST / 400 - BadRequest -\r\n")) << err.toStdString();
}

} // namespace
