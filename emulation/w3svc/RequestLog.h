#pragma once

#include "emulation/iislog/CentralBinaryLog.h"

#include <QString>

namespace w3svc {

// Where the web service's request records go.
class RequestLog {
public:
    virtual ~RequestLog() = default;
    // directory: the LogFileDirectory that holds the log (the site's, or the service's).
    virtual void write(const iislog::LogRecord& record, const QString& directory) = 0;
    // Everything written so far reaches the files.
    virtual void flush() = 0;
};

} // namespace w3svc
