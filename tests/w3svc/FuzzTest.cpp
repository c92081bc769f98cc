// Random and mutated requests (fixed seed) against a real service: every connection ends with
// well-formed answers or a close, the process lives on, and its memory stays bounded.

#include "tests/w3svc/HostileClients.h"

#include <sys/socket.h>

#include <random>

using namespace Qt::Literals::StringLiterals;
using served::RawClient;

namespace {

class FuzzTest : public served::ServedMachine {};

// A request close to a real one, then bent: bytes flipped, special bytes put in, lines repeated,
// the whole cut short or stretched.
std::string mutated(std::mt19937& rng) {
    static const std::vector<std::string> seeds = {
        "GET /Index.html HTTP/1.1\r\nHost: www.shop.example\r\n\r\n",
        "HEAD /%49ndex.html?a=b HTTP/1.1\r\nHost: www.shop.example\r\nRange: bytes=1-3\r\n\r\n",
        "POST /Index.html HTTP/1.1\r\nHost: www.shop.example\r\nContent-Length: 5\r\n\r\nhello",
        "GET http://www.shop.example/ HTTP/1.1\r\nHost: x\r\nIf-None-Match: *\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: www.shop.example\r\nTransfer-Encoding: "
        "chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
        "GET /sub/../Index.html HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n",
    };
    static const std::vector<std::string> specials = {"\r\n",
                                                      "\n",
                                                      "\r",
                                                      " ",
                                                      "\t",
                                                      std::string(1, '\0'),
                                                      "%",
                                                      "%u",
                                                      "..",
                                                      "/",
                                                      ":",
                                                      "Content-Length: 3\r\n",
                                                      "Transfer-Encoding: chunked\r\n",
                                                      "Host: a\r\n",
                                                      "\x80\xff"};
    std::string s = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < edits; ++i) {
        const size_t at = s.empty() ? 0 : rng() % s.size();
        switch (rng() % 6) {
        case 0:
            if (!s.empty())
                s[at] = static_cast<char>(rng() % 256);
            break;
        case 1:
            s.insert(at, specials[rng() % specials.size()]);
            break;
        case 2:
            s.erase(at, rng() % 8);
            break;
        case 3:
            s.insert(at, std::string(rng() % 20000, static_cast<char>('a' + rng() % 26)));
            break;
        case 4:
            s += s.substr(0, at); // a repeat: pipelined, or a part of one
            break;
        default:
            s.resize(at);
            break;
        }
    }
    return s;
}

TEST_F(FuzzTest, EveryConnectionEndsWithAnswersOrACloseAndNothingCrashes) {
    writeFile(u"D:\\WebRoot\\shop\\web\\sub\\Default.htm"_s, "sub");
    start();
    std::mt19937 rng(20261207);
    const long before = served::residentKb(serve.processId());
    constexpr int Cases = 600;
    for (int i = 0; i < Cases; ++i) {
        std::string bytes;
        if (i % 5 == 4) {
            bytes.resize(rng() % 4096);
            for (char& c : bytes)
                c = static_cast<char>(rng() % 256);
        } else {
            bytes = mutated(rng);
        }
        RawClient c("127.0.0.1", 80 + offset);
        ASSERT_TRUE(c.connected()) << "case " << i;
        c.send(bytes);
        ::shutdown(c.fd(), SHUT_WR); // the client has said everything
        bool closed = false;
        const std::string answer = c.readAll(closed, 10000);
        ASSERT_TRUE(closed) << "case " << i << " left open: " << testing::PrintToString(bytes.substr(0, 200));
        if (!answer.empty()) {
            EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << "case " << i;
        }
    }
    ASSERT_EQ(serve.state(), QProcess::Running);
    EXPECT_EQ(get("/Index.html", "www.shop.example").status, 200);
    EXPECT_LT(served::residentKb(serve.processId()) - before, 50 * 1024) << "memory stays bounded";
}

} // namespace
