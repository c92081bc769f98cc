#pragma once

#include <QDate>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace iislog {
class Writer;
}

namespace w3svc {

// One request as the web service logs it; the fields of the IIS log formats.
struct LogEntry {
    std::int64_t timeMs = 0; // UTC, milliseconds since the epoch, when the request came in
    std::uint32_t siteId = 0;
    QString clientIp;
    QString userName; // the anonymous account the request ran as; empty when none
    QString serverIp;
    std::uint16_t serverPort = 0;
    QString method;
    QString uriStem;
    QString uriQuery;
    int status = 0;
    int substatus = 0;
    std::uint32_t win32Status = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
    std::uint32_t timeTaken = 0; // milliseconds
    QString protocolVersion;     // "HTTP/1.1"
    QString host;
    QString userAgent;
    QString cookie;
    QString referrer;
    QString logFileDirectory; // the site's LogFileDirectory, for the per-site logs
};

// Where the web service's request records go.
class RequestLog {
public:
    virtual ~RequestLog() = default;
    virtual void write(const LogEntry& entry) = 0;
    // Everything written so far reaches the files.
    virtual void flush() = 0;
};

// IIS's default logging: one W3C extended log per site and UTC day,
// LogFileDirectory\W3SVC<id>\exYYMMDD.log, each file opened with the format's header lines.
class W3cSiteLogs final : public RequestLog {
public:
    // hostFolder turns a Windows folder of the machine into the folder on this computer.
    explicit W3cSiteLogs(std::function<QString(const QString&)> hostFolder);
    ~W3cSiteLogs() override;
    void write(const LogEntry& entry) override;
    void flush() override;

    static QString fileName(QDate day); // "exYYMMDD.log"
    static constexpr size_t MaxOpen = 256;
    static QByteArray line(const LogEntry& entry);
    static QByteArray header(std::int64_t timeMs);

private:
    struct OpenLog {
        std::FILE* file = nullptr;
        QDate day;
        QString directory;
    };
    std::function<QString(const QString&)> m_hostFolder;
    std::mutex m_lock;
    std::map<std::uint32_t, OpenLog> m_open;
    QSet<QString> m_headed; // files this run has written its header into
};

// IIS's central binary logging: every site's requests in one file a UTC day,
// LogFileDirectory\W3SVC\raYYMMDD.ibl, through the central binary log's writer.
class CentralBinaryLog final : public RequestLog {
public:
    explicit CentralBinaryLog(std::function<QString(const QString&)> hostFolder);
    ~CentralBinaryLog() override;
    void write(const LogEntry& entry) override;
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
};

} // namespace w3svc
