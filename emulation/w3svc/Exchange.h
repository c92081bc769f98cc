#pragma once

// The one interface between the web service's own logic (routing, files, rights, redirects, error
// pages, logging) and the network under it (listeners, framing, limits, timeouts): a request as
// the listener parsed it, the answer the service gives, and the record the answer is logged with.

#include "emulation/iislog/CentralBinaryLog.h"

#include <QString>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace w3svc {

// A request whose head the listener has read and found well framed.
struct Request {
    QString address;              // the machine address it came in on; empty for one that is none of them
    QString localIp;              // the loopback address it came in on
    std::uint16_t port = 0;       // the machine port it came in on (without the offset)
    std::uint16_t listenPort = 0; // the port it really came in on
    std::string method;
    std::string target;  // as sent: origin form ("/a?b") or absolute form ("http://h/a?b"), still encoded
    std::string version; // "HTTP/1.1"
    std::string host;    // the one Host field's value as sent; empty when there was none
    std::string range;
    std::string ifModifiedSince;
    std::string ifNoneMatch;
    std::string userAgent;
    std::string cookie;
    std::string referer;
    QString clientIp;
    std::uint16_t clientPort = 0;
    std::uint64_t bytesReceived = 0; // the head and whatever body was read
    bool hasBody = false;            // a body was declared (it is never given to the service)
};

struct Response {
    int status = 200;
    int substatus = 0;
    std::uint32_t win32Status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string contentType; // empty: no Content-Type
    std::string body;
    std::string streamFile;         // a large file sent from the disk instead of a body: its path,
    std::uint64_t streamOffset = 0; // where to start
    std::uint64_t streamLength = 0; // and how much to send
    bool headOnly = false;          // HEAD: the length of the body is announced but nothing sent
    bool close = false;             // the connection closes after this answer
    bool log = false;               // the request reached a site and is logged there
    bool centralLog = false;        // into the central binary log rather than the site's own
    std::string httpApiReason;      // HTTP.sys answered without a site: its error log's reason
    iislog::LogRecord entry;        // status, bytes and time taken are filled in once it is sent
    QString logFileDirectory;       // where the record goes: the site's or the service's folder
};

// What the listener asks of the service.
class Handler {
public:
    virtual ~Handler() = default;
    // The answer to a well-framed request.
    virtual Response handle(const Request& request) = 0;
    // The answer HTTP.sys gives itself to a request it cannot pass on (malformed, too long, badly
    // framed, timed out): status with HTTP.sys's reason text; request holds what could be read.
    virtual Response reject(const Request& request, int status, const char* reason) = 0;
    // The answer went out (or failed to): its record is completed and written.
    virtual void sent(Response& response, std::uint64_t bytesSent, std::uint32_t timeTakenMs) = 0;
    // IIS 6's ConnectionTimeout, in seconds, as the metabase now says.
    virtual std::uint32_t connectionTimeout() = 0;
};

// HTTP.sys's limits (MaxFieldLength and MaxRequestBytes, 16 KB each by default) and rate.
struct Limits {
    std::size_t maxRequestBytes = 16 * 1024;    // request line and header fields together
    std::size_t maxFieldLength = 16 * 1024;     // one header field, or the request line
    std::uint64_t maxDiscardedBody = 64 * 1024; // a body that GET or HEAD declares, read and dropped
    std::uint32_t minBytesPerSecond = 240;      // the slowest rate a body or an answer may move at
};

} // namespace w3svc
