#include "emulation/w3svc/CentralRequestLog.h"

#include <QDateTime>
#include <QDir>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

CentralRequestLog::CentralRequestLog(std::function<QString(const QString&)> hostFolder)
    : m_hostFolder(std::move(hostFolder)), m_writer(std::make_unique<iislog::Writer>()) {}

CentralRequestLog::~CentralRequestLog() = default;

void CentralRequestLog::write(const iislog::LogRecord& record, const QString& directory) {
    std::lock_guard lock(m_lock);
    // The UTC day is worked out again only when the record's time leaves the day last seen.
    const std::int64_t ms = record.timeMs;
    if (ms < m_dayStartMs || ms >= m_dayStartMs + MsPerDay) {
        m_recordDay = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).date();
        m_dayStartMs = QDateTime(m_recordDay, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    }
    if (openFor(m_recordDay, directory))
        m_writer->append(record); // else tried again with the next request
}

void CentralRequestLog::prepare(const QString& directory, std::int64_t timeMs) {
    std::lock_guard lock(m_lock);
    openFor(QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).date(), directory);
}

bool CentralRequestLog::openFor(QDate day, const QString& directory) {
    if (m_writer->isOpen() && day == m_day && directory == m_directory)
        return true;
    m_writer->close();
    m_day = day;
    m_directory = directory;
    const QString folder = m_hostFolder(directory + u"\\W3SVC"_s);
    return !folder.isEmpty() && QDir().mkpath(folder) &&
           m_writer->open(folder + u'/' + iislog::fileName(day), day);
}

void CentralRequestLog::flush() {
    std::lock_guard lock(m_lock);
    if (m_writer->isOpen())
        m_writer->flush();
}

} // namespace w3svc
