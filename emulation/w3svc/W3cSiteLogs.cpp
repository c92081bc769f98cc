#include "emulation/w3svc/RequestLog.h"

#include <QDateTime>
#include <QDir>

#include <cstdio>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

namespace {

// A W3C field: "-" when empty, blanks as "+", as IIS writes them.
void field(QByteArray& out, const QString& value) {
    if (value.isEmpty()) {
        out += '-';
    } else {
        QByteArray v = value.toUtf8();
        v.replace(' ', '+');
        out += v;
    }
    out += ' ';
}

} // namespace

W3cSiteLogs::W3cSiteLogs(std::function<QString(const QString&)> hostFolder)
    : m_hostFolder(std::move(hostFolder)) {}

W3cSiteLogs::~W3cSiteLogs() {
    for (auto& [id, log] : m_open)
        if (log.file)
            std::fclose(log.file);
}

QString W3cSiteLogs::fileName(QDate day) {
    return u"ex"_s + day.toString(u"yyMMdd"_s) + u".log"_s;
}

QByteArray W3cSiteLogs::header(std::int64_t timeMs) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC);
    return "#Software: Microsoft Internet Information Services 6.0\r\n"
           "#Version: 1.0\r\n"
           "#Date: " +
           t.toString(u"yyyy-MM-dd hh:mm:ss"_s).toLatin1() +
           "\r\n"
           "#Fields: date time s-sitename s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
           "cs(User-Agent) sc-status sc-substatus sc-win32-status \r\n";
}

QByteArray W3cSiteLogs::line(const LogEntry& e) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC);
    QByteArray out = t.toString(u"yyyy-MM-dd hh:mm:ss "_s).toLatin1();
    out.reserve(256);
    field(out, u"W3SVC"_s + QString::number(e.siteId));
    field(out, e.serverIp);
    field(out, e.method);
    field(out, e.uriStem);
    field(out, e.uriQuery);
    out += QByteArray::number(e.serverPort) + ' ';
    field(out, e.userName);
    field(out, e.clientIp);
    field(out, e.userAgent);
    out += QByteArray::number(e.status) + ' ' + QByteArray::number(e.substatus) + ' ' +
           QByteArray::number(e.win32Status) + "\r\n";
    return out;
}

void W3cSiteLogs::write(const LogEntry& e) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC).date();
    const QByteArray text = line(e);
    std::lock_guard lock(m_lock);
    // A server with thousands of sites would run out of file handles: past MaxOpen the files are
    // closed, and opened again (for appending) by their next request.
    if (m_open.size() >= MaxOpen && !m_open.count(e.siteId)) {
        for (auto& [id, open] : m_open)
            if (open.file)
                std::fclose(open.file);
        m_open.clear();
    }
    OpenLog& log = m_open[e.siteId];
    if (!log.file || log.day != day || log.directory != e.logFileDirectory) {
        if (log.file)
            std::fclose(log.file);
        log.file = nullptr;
        log.day = day;
        log.directory = e.logFileDirectory;
        const QString folder = m_hostFolder(e.logFileDirectory + u"\\W3SVC"_s + QString::number(e.siteId));
        if (folder.isEmpty() || !QDir().mkpath(folder))
            return;
        const QString path = folder + u'/' + fileName(day);
        log.file = std::fopen(QFile::encodeName(path).constData(), "ab");
        if (!log.file)
            return;
        std::setvbuf(log.file, nullptr, _IOFBF, 64 * 1024);
        // The header opens each file and each run of the service that writes to it.
        if (!m_headed.contains(path)) {
            m_headed.insert(path);
            const QByteArray h = header(e.timeMs);
            std::fwrite(h.constData(), 1, static_cast<size_t>(h.size()), log.file);
        }
    }
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), log.file);
}

void W3cSiteLogs::flush() {
    std::lock_guard lock(m_lock);
    for (auto& [id, log] : m_open)
        if (log.file)
            std::fflush(log.file);
}

} // namespace w3svc
