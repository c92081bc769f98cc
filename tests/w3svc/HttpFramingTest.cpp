// A request's head checked for its framing without a socket: what HTTP.sys refuses, and what it
// reads from a head it takes.

#include "emulation/w3svc/HttpFraming.h"

#include <gtest/gtest.h>

#include <string>

namespace {

w3svc::RequestHead parse(const std::string& head) {
    return w3svc::parseHead(head, w3svc::Limits{});
}

TEST(HttpFraming, AWellFramedHeadIsReadAsSent) {
    const auto h = parse("GET /a%2eb?x=%0d HTTP/1.1\r\nHost: www.Example.com:80\r\nUser-Agent: a\tb\r\n"
                         "Range: bytes=1-2\r\nIf-None-Match: \"x\"\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/a%2eb?x=%0d");
    EXPECT_EQ(h.host, "www.Example.com:80") << "never decoded or folded to lower case here";
    EXPECT_EQ(h.userAgent, "a\tb");
    EXPECT_EQ(h.range, "bytes=1-2");
    EXPECT_EQ(h.ifNoneMatch, "\"x\"");
    EXPECT_EQ(h.contentLength, 3u);
    EXPECT_TRUE(h.hasBody);
    EXPECT_TRUE(h.keepAlive);
    EXPECT_FALSE(parse("GET / HTTP/1.0\r\n\r\n").keepAlive);
    EXPECT_TRUE(parse("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n").keepAlive);
    EXPECT_FALSE(parse("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").keepAlive);
    EXPECT_TRUE(parse("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: Chunked\r\n\r\n").chunked);
}

TEST(HttpFraming, ConflictingOrMalformedFramingIsRefused) {
    const std::string start = "POST / HTTP/1.1\r\nHost: a\r\n";
    for (const std::string fields : {"Content-Length: 5\r\nContent-Length: 5\r\n",
                                     "Content-Length: +0\r\n",
                                     "Content-Length: 0x10\r\n",
                                     "Content-Length: 0, 5\r\n",
                                     "Content-Length: 5abc\r\n",
                                     "Content-Length:\r\n",
                                     "Content-Length: 99999999999999999999\r\n",
                                     "Transfer-Encoding: xchunked\r\n",
                                     "Transfer-Encoding: identity, chunked\r\nContent-Length: 5\r\n",
                                     "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
                                     "Transfer-Encoding: chunked, gzip\r\n",
                                     "Transfer-Encoding: gzip\r\n",
                                     "Transfer-Encoding:\r\n chunked\r\n",
                                     "X: a\r\n b\r\n",
                                     "Bad Name: x\r\n",
                                     "Name : x\r\n",
                                     ": x\r\n",
                                     "NoColon\r\n",
                                     "X: a\rb\r\n",
                                     "X: a\x7f\r\n"}) {
        const auto h = parse(start + fields + "\r\n");
        EXPECT_EQ(h.status, 400) << fields;
        EXPECT_EQ(h.method, "POST") << "the request line is still told to the error log";
    }
    EXPECT_EQ(parse("POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n").status, 400);
    EXPECT_EQ(parse("GET / HTTP/1.1\nHost: a\n\n").status, 400) << "a bare LF";
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: a\nX: b\r\n\r\n").status, 400);
    EXPECT_EQ(parse("GET /a b HTTP/1.1\r\nHost: a\r\n\r\n").status, 400);
    EXPECT_EQ(parse("GET / HTTP/2.0\r\nHost: a\r\n\r\n").status, 505);
}

TEST(HttpFraming, HostRulesOfRfc9112) {
    EXPECT_EQ(parse("GET / HTTP/1.1\r\n\r\n").status, 400) << "HTTP/1.1 without Host";
    EXPECT_STREQ(parse("GET / HTTP/1.1\r\n\r\n").reason, "Hostname");
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: a\r\nHost: a\r\n\r\n").status, 400) << "two Host fields";
    EXPECT_EQ(parse("GET / HTTP/1.0\r\n\r\n").status, 0) << "HTTP/1.0 may leave it out";
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost:\r\n\r\n").status, 0) << "an empty Host is a Host";
}

TEST(HttpFraming, LimitsOfHttpSys) {
    w3svc::Limits small;
    small.maxRequestBytes = 100;
    small.maxFieldLength = 40;
    EXPECT_EQ(w3svc::parseHead("GET /" + std::string(50, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", small).status,
              414);
    EXPECT_EQ(w3svc::parseHead("GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(40, 'x') + "\r\n\r\n", small)
                  .status,
              400);
    std::string many = "GET / HTTP/1.1\r\nHost: a\r\n";
    for (int i = 0; i < 10; ++i)
        many += "X: 123456789\r\n";
    EXPECT_EQ(w3svc::parseHead(many + "\r\n", small).status, 400);
}

TEST(HttpFraming, TheHeadEndsAtItsFirstEmptyLine) {
    const std::string two = "GET /a HTTP/1.1\r\nHost: a\r\n\r\nGET /b HTTP/1.1\r\n";
    EXPECT_EQ(w3svc::headLength(two, 0), two.find("GET /b"));
    EXPECT_EQ(w3svc::headLength("GET /a HTTP/1.1\r\nHost: a\r\n", 0), 0u);
    EXPECT_EQ(w3svc::headLength("GET /a HTTP/1.1\nHost: a\n\nrest", 0), 25u)
        << "ended, to be refused at once";
    const std::string head = "GET /a HTTP/1.1\r\n\r\n";
    EXPECT_EQ(w3svc::headLength(head, head.size() - 3), head.size()) << "searched on from where it stopped";
}

} // namespace
