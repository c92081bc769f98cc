#include "emulation/w3svc/W3cSiteLogs.h"

#include <QDateTime>
#include <QDir>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

W3cSiteLogs::W3cSiteLogs(std::function<QString(const QString&)> hostFolder, QString service, Header header)
    : m_hostFolder(std::move(hostFolder)), m_service(std::move(service)), m_header(std::move(header)) {}

W3cSiteLogs::~W3cSiteLogs() = default;

QString W3cSiteLogs::fileName(QDate day) {
    return u"ex"_s + day.toString(u"yyMMdd"_s) + u".log"_s;
}

QByteArray W3cSiteLogs::headerNaming(std::int64_t timeMs, const char* fields) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC);
    return "#Software: Microsoft Internet Information Services 6.0\r\n"
           "#Version: 1.0\r\n"
           "#Date: " +
           t.toString(u"yyyy-MM-dd hh:mm:ss"_s).toLatin1() + "\r\n#Fields: " + fields + " \r\n";
}

QByteArray W3cSiteLogs::header(std::int64_t timeMs) {
    return headerNaming(
        timeMs, "date time s-sitename s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
                "cs(User-Agent) sc-status sc-substatus sc-win32-status");
}

QByteArray W3cSiteLogs::line(const iislog::LogRecord& e) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC);
    QByteArray out = t.toString(u"yyyy-MM-dd hh:mm:ss "_s).toLatin1();
    out.reserve(256);
    appendW3cField(out, u"W3SVC"_s + QString::number(e.siteId));
    appendW3cField(out, e.serverIp);
    appendW3cField(out, e.method);
    appendW3cField(out, e.uriStem);
    appendW3cField(out, e.uriQuery);
    out += QByteArray::number(e.serverPort) + ' ';
    appendW3cField(out, e.userName);
    appendW3cField(out, e.clientIp);
    appendW3cField(out, e.userAgent);
    out += QByteArray::number(e.status) + ' ' + QByteArray::number(e.substatus) + ' ' +
           QByteArray::number(e.win32Status) + "\r\n";
    return out;
}

void W3cSiteLogs::write(const iislog::LogRecord& e, const QString& directory) {
    writeLine(e.siteId, e.timeMs, line(e), directory);
}

void W3cSiteLogs::writeLine(std::uint32_t siteId, std::int64_t timeMs, const QByteArray& text,
                            const QString& directory) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).date();
    std::lock_guard lock(m_lock);
    // A server with thousands of sites would run out of file handles: past MaxOpen the files are
    // closed, and opened again (for appending) by their next request.
    if (m_open.size() >= MaxOpen && !m_open.count(siteId))
        m_open.clear();
    OpenLog& log = m_open[siteId];
    if (!log.file || !log.file->isOpen() || log.day != day || log.directory != directory) {
        log.file = std::make_unique<W3cFile>();
        log.day = day;
        log.directory = directory;
        const QString folder = m_hostFolder(directory + u'\\' + m_service + QString::number(siteId));
        if (folder.isEmpty() || !QDir().mkpath(folder))
            return;
        const QString path = folder + u'/' + fileName(day);
        // The header opens each file and each run of the service that writes to it.
        const bool head = !m_headed.contains(path);
        if (!log.file->open(path, head ? m_header(timeMs) : QByteArray()))
            return;
        m_headed.insert(path);
    }
    log.file->append(text);
}

void W3cSiteLogs::flush() {
    std::lock_guard lock(m_lock);
    for (auto& [id, log] : m_open)
        if (log.file)
            log.file->flush();
}

} // namespace w3svc
