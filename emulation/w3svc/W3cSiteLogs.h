#pragma once

#include "emulation/w3svc/RequestLog.h"
#include "emulation/w3svc/W3cFile.h"

#include <QDate>
#include <QSet>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace w3svc {

// IIS's default logging: one W3C extended log per site and UTC day,
// LogFileDirectory\W3SVC<id>\exYYMMDD.log, each file opened with the format's header lines. The FTP
// service logs alike into MSFTPSVC<id>, with its own header.
class W3cSiteLogs final : public RequestLog {
public:
    using Header = std::function<QByteArray(std::int64_t timeMs)>;
    // hostFolder turns a Windows folder of the machine into the folder on this computer.
    explicit W3cSiteLogs(std::function<QString(const QString&)> hostFolder,
                         QString service = QStringLiteral("W3SVC"), Header header = &W3cSiteLogs::header);
    ~W3cSiteLogs() override;
    void write(const iislog::LogRecord& record, const QString& directory) override;
    // Appends one whole line (with its CRLF) to the log of a site for the UTC day of timeMs.
    void writeLine(std::uint32_t siteId, std::int64_t timeMs, const QByteArray& line,
                   const QString& directory);
    void flush() override;

    static QString fileName(QDate day); // "exYYMMDD.log"
    static constexpr size_t MaxOpen = 256;
    static QByteArray line(const iislog::LogRecord& record);
    static QByteArray header(std::int64_t timeMs);
    // The header lines IIS 6 opens a W3C log with, naming the fields given (blank-separated).
    static QByteArray headerNaming(std::int64_t timeMs, const char* fields);

private:
    struct OpenLog {
        std::unique_ptr<W3cFile> file;
        QDate day;
        QString directory;
    };
    std::function<QString(const QString&)> m_hostFolder;
    QString m_service;
    Header m_header;
    std::mutex m_lock;
    std::map<std::uint32_t, OpenLog> m_open;
    QSet<QString> m_headed; // files this run has written its header into
};

} // namespace w3svc
