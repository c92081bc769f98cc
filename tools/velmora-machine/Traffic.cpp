// Synthetic but plausible requests of one site in the central binary log, for operators and tests.
// The requests are made from the site's own bindings (its IP address, port and host names) and
// spread over the day; the same site, day and count always give the same requests.

#include "tools/velmora-machine/Traffic.h"
#include "tools/velmora-machine/Subcommand.h"

#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/machine/Machine.h"
#include "emulation/machine/MachineInfo.h"
#include "emulation/metabase/MetabaseStore.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QTimeZone>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

void say(FILE* to, const QString& text) {
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

int fail(const QString& message) {
    say(stderr, message);
    return 1;
}

struct Page {
    const char16_t* method;
    const char16_t* stem;
    const char16_t* query;
    quint16 status;
    quint64 bytes;
};

// What visitors of a small hosted site ask for.
const Page Pages[] = {
    {u"GET", u"/", u"", 200, 5120},
    {u"GET", u"/index.html", u"", 200, 5120},
    {u"GET", u"/index.html", u"", 304, 212},
    {u"GET", u"/images/logo.gif", u"", 200, 3277},
    {u"GET", u"/css/site.css", u"", 200, 1893},
    {u"GET", u"/news/list.asp", u"page=2", 200, 12040},
    {u"GET", u"/news/show.asp", u"id=1057", 200, 8322},
    {u"POST", u"/guestbook/post.asp", u"", 302, 350},
    {u"GET", u"/favicon.ico", u"", 404, 1635},
    {u"GET", u"/robots.txt", u"", 404, 1635},
    {u"HEAD", u"/", u"", 200, 248},
};

const char16_t* const Agents[] = {
    u"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)",
    u"Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/49.0 Safari/537.36",
    u"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:115.0) Gecko/20100101 Firefox/115.0",
    u"Baiduspider+(+http://www.baidu.com/search/spider.htm)",
};

struct Binding {
    QString ip;
    quint16 port = 80;
    QString host;
};

// "IP:port:host" entries of ServerBindings.
QList<Binding> bindingsOf(const QStringList& serverBindings) {
    QList<Binding> out;
    for (const QString& text : serverBindings) {
        const QStringList parts = text.split(u':');
        if (parts.size() != 3)
            continue;
        bool ok = false;
        const uint port = parts[1].toUInt(&ok);
        out.append({parts[0], static_cast<quint16>(ok && port > 0 && port < 65536 ? port : 80), parts[2]});
    }
    return out;
}

} // namespace

int runTraffic(const QString& machineFolder, const QStringList& arguments) {
    QStringList args = arguments;
    quint32 site = 0;
    QDate day; // the machine's today unless given
    qint64 requests = 100;
    while (!args.isEmpty()) {
        const QString option = args.takeFirst();
        if (args.isEmpty())
            return fail(u"选项 %1 缺少值。"_s.arg(option));
        const QString value = args.takeFirst();
        bool ok = false;
        if (option == u"--site"_s) {
            const qulonglong n = value.toULongLong(&ok);
            if (!ok || n == 0 || n > 0xFFFFFFFFull)
                return fail(u"网站标识不正确：%1"_s.arg(value));
            site = static_cast<quint32>(n);
        } else if (option == u"--date"_s) {
            day = QDate::fromString(value, u"yyyyMMdd"_s);
            if (value.size() != 8 || !day.isValid())
                return fail(u"日期不正确（应为 yyyymmdd）：%1"_s.arg(value));
        } else if (option == u"--requests"_s) {
            requests = value.toLongLong(&ok);
            if (!ok || requests < 0 || requests > 100000000)
                return fail(u"请求数不正确：%1"_s.arg(value));
        } else {
            return fail(u"未知选项：%1"_s.arg(option));
        }
    }
    if (site == 0)
        return fail(u"用法：velmora-machine traffic --site 网站标识 [--date yyyymmdd] [--requests 请求数]"_s);

    auto opened = emulation::machine::Machine::open(machineFolder);
    if (!opened)
        return fail(opened.error().text);
    emulation::machine::Machine& machine = *opened.value();
    if (!day.isValid())
        day = emulation::machine::MachineInfo(machine).Today();

    auto w3svc = machine.metabase().Bind(u"IIS://LocalHost/W3SVC"_s);
    if (!w3svc)
        return fail(u"无法打开 Web 服务：%1"_s.arg(w3svc.error().text));
    const auto central = w3svc.value()->Get(u"CentralBinaryLoggingEnabled"_s);
    const auto directory = w3svc.value()->Get(u"LogFileDirectory"_s);
    if (!central || !central.value().toBool() || !directory || directory.value().toString().isEmpty())
        return fail(u"Web 服务未启用中央二进制日志：请先在 Velmora 中设置日志目录。"_s);
    auto siteObject = machine.metabase().Bind(u"IIS://LocalHost/W3SVC/%1"_s.arg(site));
    if (!siteObject || siteObject.value()->Class() != u"IIsWebServer"_s)
        return fail(u"网站 %1 不存在。"_s.arg(site));
    const auto serverBindings = siteObject.value()->Get(u"ServerBindings"_s);
    QList<Binding> bindings =
        bindingsOf(serverBindings ? serverBindings.value().toStringList() : QStringList());
    if (bindings.isEmpty())
        bindings.append(Binding{});

    // IIS keeps the central log in the W3SVC folder below the log directory and makes it when missing.
    const QString folder = directory.value().toString() + u"\\W3SVC"_s;
    const QString hostFolder = machine.hostPath(folder);
    if (hostFolder.isEmpty() || !QDir().mkpath(hostFolder))
        return fail(u"无法创建日志目录 %1"_s.arg(folder));
    const QString file = folder + u'\\' + iislog::fileName(day);

    iislog::Writer writer;
    if (!writer.open(machine.hostPath(file), day)) {
        say(stderr, writer.errorString());
        return writer.notAFile() ? 2 : 1;
    }

    // A binding for all unassigned addresses answers on the machine's first address.
    QString machineAddress = u"127.0.0.1"_s;
    if (const auto adapters = emulation::machine::MachineInfo::parseAddresses(machine.fact(u"addresses"_s));
        !adapters.isEmpty())
        machineAddress = adapters.first().first();

    QRandomGenerator random(site ^ static_cast<quint32>(day.toJulianDay()));
    const qint64 dayStart = QDateTime(day, QTime(0, 0), QTimeZone::utc()).toMSecsSinceEpoch();
    const qint64 step = requests > 0 ? 86400000 / requests : 0;
    for (qint64 i = 0; i < requests; ++i) {
        const Binding& binding = bindings[random.bounded(static_cast<int>(bindings.size()))];
        const Page& page = Pages[random.bounded(static_cast<int>(std::size(Pages)))];
        iislog::LogRecord r;
        r.timeMs = dayStart + i * step + random.bounded(static_cast<int>(std::max<qint64>(step, 1)));
        r.siteId = site;
        r.clientIp =
            u"%1.%2"_s.arg(random.bounded(2) ? u"198.51.100"_s : u"203.0.113"_s).arg(random.bounded(1, 255));
        r.serverIp = binding.ip.isEmpty() ? machineAddress : binding.ip;
        r.serverPort = binding.port;
        r.method = QString::fromUtf16(page.method);
        r.uriStem = QString::fromUtf16(page.stem);
        r.uriQuery = QString::fromUtf16(page.query);
        r.status = page.status;
        r.win32Status = page.status == 404 ? 2 : 0;
        r.bytesSent = page.bytes + static_cast<quint64>(random.bounded(200));
        r.bytesReceived = static_cast<quint64>(300 + random.bounded(400));
        r.timeTaken = static_cast<quint32>(random.bounded(250));
        r.protocolVersion = u"HTTP/1.1"_s;
        r.host = binding.host.isEmpty() ? r.serverIp : binding.host;
        r.userAgent = QString::fromUtf16(Agents[random.bounded(static_cast<int>(std::size(Agents)))]);
        if (random.bounded(3) == 0)
            r.cookie = u"ASPSESSIONIDQQGGQGPC=%1"_s
                           .arg(static_cast<qulonglong>(random.generate64()), 16, 16, QChar(u'0'))
                           .toUpper();
        if (r.uriStem != u"/"_s && random.bounded(2))
            r.referrer = u"http://%1/"_s.arg(r.host);
        writer.append(r);
    }
    // What could not be written is said, never counted as written.
    if (!writer.flush())
        return fail(u"%1\n%2 条请求中有 %3 条未能写入。"_s.arg(writer.errorString())
                        .arg(requests)
                        .arg(writer.lostRecords()));
    writer.close();
    say(stdout, u"已向 %1 写入网站 %2 的 %3 条请求。"_s.arg(file).arg(site).arg(requests));
    return 0;
}

namespace velmora_machine {

int runTrafficSubcommand(const Invocation& invocation) {
    if (!invocation.isSet(u"site"_s))
        return invocation.usageError(u"缺少 --site。"_s);
    QStringList args;
    for (const QString& option : {u"site"_s, u"date"_s, u"requests"_s})
        if (invocation.isSet(option))
            args << u"--"_s + option << invocation.value(option);
    return runTraffic(invocation.machineFolder(), args);
}

} // namespace velmora_machine
