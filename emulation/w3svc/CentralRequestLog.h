#pragma once

#include "emulation/w3svc/RequestLog.h"

#include <QDate>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace iislog {
class Writer;
}

namespace w3svc {

// IIS's central binary logging: every site's requests in one file a UTC day,
// LogFileDirectory\W3SVC\raYYMMDD.ibl, through the central binary log's writer.
class CentralRequestLog final : public RequestLog {
public:
    // hostFolder turns a Windows folder of the machine into the folder on this computer.
    explicit CentralRequestLog(std::function<QString(const QString&)> hostFolder);
    ~CentralRequestLog() override;
    void write(const iislog::LogRecord& record, const QString& directory) override;
    void flush() override;
    // Opens the day's file ahead of the first request: opening an existing file checks it whole.
    void prepare(const QString& directory, std::int64_t timeMs);

private:
    bool openFor(QDate day, const QString& directory);
    std::function<QString(const QString&)> m_hostFolder;
    std::mutex m_lock;
    std::unique_ptr<iislog::Writer> m_writer;
    QDate m_day;
    QString m_directory;
    static constexpr std::int64_t MsPerDay = 24 * 60 * 60 * 1000;
    QDate m_recordDay;                         // the UTC day of the last record written
    std::int64_t m_dayStartMs = -MsPerDay - 1; // where that day begins, in ms since the epoch
};

} // namespace w3svc
