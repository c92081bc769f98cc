#include "emulation/w3svc/CentralRequestLog.h"

#include <QDateTime>
#include <QDir>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

CentralRequestLog::CentralRequestLog(std::function<QString(const QString&)> hostFolder)
    : m_hostFolder(std::move(hostFolder)), m_writer(std::make_unique<iislog::Writer>()) {}

CentralRequestLog::~CentralRequestLog() = default;

void CentralRequestLog::write(const iislog::LogRecord& record, const QString& directory) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(record.timeMs, Qt::UTC).date();
    std::lock_guard lock(m_lock);
    if (openFor(day, directory))
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
