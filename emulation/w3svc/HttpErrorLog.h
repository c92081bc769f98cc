#pragma once

#include "emulation/w3svc/W3cFile.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace w3svc {

// HTTP.sys's own error log, C:\WINDOWS\system32\LogFiles\HTTPERR\httperr1.log: one W3C line for
// every request it refused before any site saw it (malformed, too long, badly framed).
class HttpErrorLog {
public:
    struct Entry {
        std::int64_t timeMs = 0;
        QString clientIp;
        std::uint16_t clientPort = 0;
        QString serverIp;
        std::uint16_t serverPort = 0;
        std::string version, method, uri; // as sent; empty when they could not be read
        int status = 0;
        std::uint32_t siteId = 0; // 0: no site
        std::string reason;
    };

    // hostPath turns a Windows path of the machine into the path on this computer.
    explicit HttpErrorLog(std::function<QString(const QString&)> hostPath);
    void write(const Entry& entry);
    void flush();

    static QByteArray line(const Entry& entry);

private:
    std::function<QString(const QString&)> m_hostPath;
    std::mutex m_lock;
    W3cFile m_file;
    bool m_tried = false;
};

} // namespace w3svc
