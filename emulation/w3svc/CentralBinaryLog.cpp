#include "emulation/w3svc/RequestLog.h"

#include "emulation/iislog/CentralBinaryLog.h"

#include <QDateTime>
#include <QDir>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

CentralBinaryLog::CentralBinaryLog(std::function<QString(const QString&)> hostFolder)
    : m_hostFolder(std::move(hostFolder)), m_writer(std::make_unique<iislog::Writer>()) {}

CentralBinaryLog::~CentralBinaryLog() = default;

void CentralBinaryLog::write(const LogEntry& e) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC).date();
    iislog::LogRecord r;
    r.timeMs = e.timeMs;
    r.siteId = e.siteId;
    r.clientIp = e.clientIp;
    r.userName = e.userName;
    r.serverIp = e.serverIp;
    r.serverPort = e.serverPort;
    r.method = e.method;
    r.uriStem = e.uriStem;
    r.uriQuery = e.uriQuery;
    r.status = static_cast<quint16>(e.status);
    r.substatus = static_cast<quint16>(e.substatus);
    r.win32Status = e.win32Status;
    r.bytesSent = e.bytesSent;
    r.bytesReceived = e.bytesReceived;
    r.timeTaken = e.timeTaken;
    r.protocolVersion = e.protocolVersion;
    r.host = e.host;
    r.userAgent = e.userAgent;
    r.cookie = e.cookie;
    r.referrer = e.referrer;

    std::lock_guard lock(m_lock);
    if (openFor(day, e.logFileDirectory))
        m_writer->append(r); // else tried again with the next request
}

void CentralBinaryLog::prepare(const QString& directory, std::int64_t timeMs) {
    std::lock_guard lock(m_lock);
    openFor(QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).date(), directory);
}

bool CentralBinaryLog::openFor(QDate day, const QString& directory) {
    if (m_writer->isOpen() && day == m_day && directory == m_directory)
        return true;
    m_writer->close();
    m_day = day;
    m_directory = directory;
    const QString folder = m_hostFolder(directory + u"\\W3SVC"_s);
    return !folder.isEmpty() && QDir().mkpath(folder) &&
           m_writer->open(folder + u'/' + iislog::fileName(day), day);
}

void CentralBinaryLog::flush() {
    std::lock_guard lock(m_lock);
    if (m_writer->isOpen())
        m_writer->flush();
}

} // namespace w3svc
