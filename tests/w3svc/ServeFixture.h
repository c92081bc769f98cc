#pragma once

// A real `velmora-machine serve` on loopback ports chosen free at run time, over a fresh machine,
// with sites made through the metabase and requests sent over raw sockets byte for byte.

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/TempMachine.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace served {

using namespace Qt::Literals::StringLiterals;
using platform::MetaValue;
using testing_support::TempMachine;

struct Reply {
    int status = 0; // 0: the connection was refused
    std::map<std::string, std::string> headers;
    std::string body;
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// The answers in a stream of bytes, one after the other; heads tells which were to HEAD requests
// (their Content-Length announces a body that is not sent).
inline std::vector<Reply> parseReplies(const std::string& raw, const std::vector<bool>& heads = {}) {
    std::vector<Reply> out;
    size_t at = 0;
    while (at < raw.size()) {
        const size_t end = raw.find("\r\n\r\n", at);
        if (raw.compare(at, 9, "HTTP/1.1 ") != 0 || end == std::string::npos)
            break;
        Reply r;
        r.status = std::stoi(raw.substr(at + 9, 3));
        size_t line = raw.find("\r\n", at) + 2;
        while (line < end) {
            const size_t next = raw.find("\r\n", line);
            const std::string h = raw.substr(line, next - line);
            const size_t colon = h.find(':');
            std::string name = h.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[name] = h.substr(colon + 2);
            line = next + 2;
        }
        at = end + 4;
        const bool head = out.size() < heads.size() && heads[out.size()];
        if (!head && !r.header("content-length").empty()) {
            const size_t length = std::stoul(r.header("content-length"));
            r.body = raw.substr(at, length);
            at += length;
        }
        out.push_back(std::move(r));
    }
    return out;
}

// One request on its own connection, sent byte for byte as given (no client tidies the path).
inline Reply exchange(const std::string& address, int port, const std::string& request) {
    Reply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return reply;
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string raw;
    char buf[8192];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
        raw.append(buf, static_cast<size_t>(n));
    ::close(fd);
    const auto replies = parseReplies(raw);
    return replies.empty() ? reply : replies.front();
}

class ServedMachine : public ::testing::Test {
protected:
    TempMachine m;
    QProcess serve;
    int offset = 0;
    QString out;

    void SetUp() override {
        m->setFact(u"addresses"_s, u"192.168.50.10 192.168.50.11"_s);
        // The default site answers on port 80; every port is served at port + offset. The ports are
        // taken below the ephemeral range, where no client connection or passive FTP port of a test
        // running beside this one can land on a port this test expects to be closed.
        offset = freeOffset();
        writeFile(u"D:\\WebRoot\\shop\\web\\Index.html"_s, "<p>shop</p>");
        writeFile(u"D:\\WebRoot\\shop\\secret.txt"_s, "SECRET");
        addSite(10000, u"shop"_s, {u":80:www.shop.example"_s}, u"D:\\WebRoot\\shop\\web"_s);
    }

    void TearDown() override { stop(); }

    // An offset at which the ports the tests use (21 and 80 to 90) are free on loopback.
    static int freeOffset() {
        static std::uint32_t seed = static_cast<std::uint32_t>(::getpid()) * 2654435761u;
        for (int attempt = 0; attempt < 1000; ++attempt) {
            seed = seed * 1664525u + 1013904223u;
            const int base = 20000 + static_cast<int>((seed >> 8) % 10000);
            bool free = true;
            for (int port : {21, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90}) {
                QTcpServer probe;
                free = free && probe.listen(QHostAddress::LocalHost, static_cast<quint16>(base + port - 80));
            }
            if (free)
                return base - 80;
        }
        return 20000;
    }

    void start() {
        serve.setProcessChannelMode(QProcess::SeparateChannels);
        serve.start(QString::fromUtf8(VELMORA_MACHINE_BIN),
                    {u"serve"_s, u"--machine"_s, m.folder(), u"--port-offset"_s, QString::number(offset)});
        QDeadlineTimer deadline(20000);
        while (!out.contains(u"Ctrl+C"_s) && !deadline.hasExpired() &&
               serve.state() != QProcess::NotRunning) {
            serve.waitForReadyRead(200);
            out += QString::fromUtf8(serve.readAllStandardOutput());
        }
        ASSERT_TRUE(out.contains(u"Ctrl+C"_s))
            << out.toStdString() << serve.readAllStandardError().toStdString();
    }

    // SIGTERM, as a service manager stops it; returns the exit code.
    int stop() {
        if (serve.state() == QProcess::NotRunning)
            return serve.exitCode();
        serve.terminate();
        EXPECT_TRUE(serve.waitForFinished(20000));
        out += QString::fromUtf8(serve.readAllStandardOutput());
        return serve.exitCode();
    }

    void writeFile(const QString& path, const QByteArray& bytes) { m.writeFile(path, bytes); }

    platform::MetabaseObjectPtr bind(const QString& path) {
        auto o = m->metabase().bindPath(path);
        EXPECT_TRUE(o) << path.toStdString();
        return o ? std::move(o.value()) : nullptr;
    }

    void addSite(int id, const QString& name, const QStringList& bindings, const QString& path,
                 const std::map<QString, MetaValue>& rootProps = {}) {
        auto service = bind(u"/LM/W3SVC"_s);
        auto site = service->Create(u"IIsWebServer"_s, QString::number(id)).value();
        site->Put(u"ServerComment"_s, name);
        site->Put(u"ServerBindings"_s, bindings);
        site->Put(u"AccessRead"_s, true);
        site->Put(u"EnableDefaultDoc"_s, true);
        site->Put(u"DefaultDoc"_s, u"Default.htm, Default.asp, Index.htm, Index.asp, Index.php,Index.html,"
                                   "Default.aspx,Index.aspx,Default.html"_s);
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, path);
        for (const auto& [k, v] : rootProps)
            root->Put(k, v);
        ASSERT_TRUE(root->SetInfo());
        ASSERT_TRUE(site->SetInfo());
        ASSERT_TRUE(site->Start());
    }

    void put(const QString& path, const QString& property, const MetaValue& value) {
        auto o = bind(path);
        o->Put(property, value);
        ASSERT_TRUE(o->SetInfo());
    }

    Reply get(const std::string& target, const std::string& host, const std::string& extra = {},
              const std::string& method = "GET", const std::string& address = "127.0.0.1", int port = 80,
              const std::string& body = {}) {
        std::string request = method + ' ' + target + " HTTP/1.1\r\n";
        if (!host.empty())
            request += "Host: " + host + "\r\n";
        if (!body.empty())
            request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        request += extra + "Connection: close\r\n\r\n" + body;
        return exchange(address, port + offset, request);
    }

    int tool(const QStringList& args) {
        QProcess p;
        p.start(QString::fromUtf8(VELMORA_MACHINE_BIN), args + QStringList{u"--machine"_s, m.folder()});
        EXPECT_TRUE(p.waitForFinished(30000));
        return p.exitCode();
    }

    // Waits for the service to follow a change of its state that is noticed in the background.
    bool eventually(const std::function<bool()>& condition) {
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (condition())
                return true;
            QThread::msleep(20);
        }
        return condition();
    }

    QString today() const { return QDateTime::currentDateTimeUtc().toString(u"yyMMdd"_s); }
};

} // namespace served
