#include "emulation/w3svc/HttpConnection.h"

#include "emulation/w3svc/HttpFraming.h"

#include <boost/asio/write.hpp>

#include <array>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace w3svc {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::size_t ReadChunk = 16 * 1024;
constexpr std::size_t StreamChunk = 64 * 1024;
constexpr std::uint64_t MaxLingerBytes = 1024 * 1024;
constexpr auto MaxLinger = std::chrono::seconds(2);

// One read buffer a thread: a connection keeps only the bytes of the head it has not finished.
thread_local std::array<char, ReadChunk> t_read;

const char* reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Object Moved";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Request Entity Too Large";
    case 414:
        return "Request-URI Too Long";
    case 416:
        return "Requested Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

} // namespace

HttpConnection::HttpConnection(tcp::socket socket, Handler& handler,
                               std::shared_ptr<const ListenEndpoint> endpoint, const Limits& limits)
    : m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_handler(handler),
      m_endpoint(std::move(endpoint)), m_limits(limits) {}

void HttpConnection::start() {
    error_code ec;
    m_socket.non_blocking(true, ec);
    m_socket.set_option(tcp::no_delay(true), ec);
    const auto peer = m_socket.remote_endpoint(ec);
    if (ec) {
        closeNow();
        return;
    }
    m_clientIp = QString::fromStdString(peer.address().to_string());
    m_clientPort = peer.port();
    m_timeout = std::chrono::seconds(m_handler.connectionTimeout());
    waitForBytes();
}

HttpConnection::Clock::duration HttpConnection::allowance(std::uint64_t bytes) const {
    return m_timeout + std::chrono::seconds(bytes / std::max<std::uint32_t>(1, m_limits.minBytesPerSecond));
}

void HttpConnection::arm(Clock::time_point deadline) {
    // One wait runs at a time and is moved only when the deadline comes sooner: most requests
    // only push the deadline later, which costs no timer operation.
    m_deadline = deadline;
    if (m_timerWaits > 0 && deadline >= m_timer.expiry())
        return;
    m_timer.expires_at(deadline); // a pending wait ends with operation_aborted
    startTimer();
}

void HttpConnection::startTimer() {
    ++m_timerWaits;
    m_timer.async_wait([self = shared_from_this()](const error_code& ec) {
        --self->m_timerWaits;
        if (ec || self->m_closed)
            return;
        // IIS 6 closes a connection that is idle or too slow, without an answer.
        if (Clock::now() >= self->m_deadline) {
            self->closeNow();
            return;
        }
        self->m_timer.expires_at(self->m_deadline);
        self->startTimer();
    });
}

void HttpConnection::waitForBytes() {
    if (m_closed)
        return;
    if (m_in.empty() && m_bodyLeft == 0)
        arm(Clock::now() + m_timeout); // idle between requests
    m_socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& ec) {
        if (ec || self->m_closed) {
            self->closeNow();
            return;
        }
        self->onReadable();
    });
}

void HttpConnection::onReadable() {
    error_code ec;
    const std::size_t n = m_socket.read_some(asio::buffer(t_read), ec);
    if (ec == asio::error::would_block) {
        waitForBytes();
        return;
    }
    if (ec || n == 0) {
        closeNow();
        return;
    }
    if (m_bodyLeft > 0) {
        const std::size_t used = static_cast<std::size_t>(std::min<std::uint64_t>(m_bodyLeft, n));
        m_bodyLeft -= used;
        m_request.bytesReceived += used;
        m_in.append(t_read.data() + used, n - used); // what follows the body: the next request
        discardBody();
        return;
    }
    m_in.append(t_read.data(), n);
    process();
}

void HttpConnection::process() {
    if (m_closed)
        return;
    // Empty lines in front of a request are passed over (RFC 9112 2.2).
    std::size_t blank = 0;
    while (blank + 1 < m_in.size() && m_in[blank] == '\r' && m_in[blank + 1] == '\n')
        blank += 2;
    if (blank > 0) {
        m_in.erase(0, blank);
        m_scanned = 0;
    }
    if (m_in.empty()) {
        m_inHead = false;
        waitForBytes();
        return;
    }
    if (!m_inHead) {
        m_inHead = true;
        m_timeout = std::chrono::seconds(m_handler.connectionTimeout());
        m_headDeadline = Clock::now() + m_timeout; // the whole head within the ConnectionTimeout
        arm(m_headDeadline);
    }
    const std::size_t length = headLength(m_in, m_scanned > 3 ? m_scanned - 3 : 0);
    if (length == 0) {
        m_scanned = m_in.size();
        if (m_in.size() > m_limits.maxRequestBytes) {
            // A request line that does not end within the limit is a URL too long (414, at once).
            m_request = Request();
            m_request.method = m_in.substr(0, std::min<std::size_t>(m_in.find(' '), 32));
            m_request.bytesReceived = m_in.size();
            const std::size_t eol = m_in.find('\n');
            if (eol == std::string::npos || eol > m_limits.maxFieldLength)
                reject(414, "URL");
            else
                reject(400, "RequestLength");
            return;
        }
        waitForBytes();
        return;
    }
    handleHead(length);
}

Request HttpConnection::newRequest() const {
    Request rq;
    rq.address = m_endpoint->address;
    rq.localIp = m_endpoint->loopback;
    rq.port = m_endpoint->port;
    rq.listenPort = m_endpoint->listenPort;
    rq.clientIp = m_clientIp;
    rq.clientPort = m_clientPort;
    return rq;
}

void HttpConnection::handleHead(std::size_t length) {
    m_started = Clock::now();
    m_inHead = false;
    RequestHead head = parseHead(std::string_view(m_in.data(), length), m_limits);
    m_request = newRequest();
    m_request.bytesReceived = length;
    m_request.method = std::move(head.method);
    m_request.target = std::move(head.target);
    m_request.version = std::move(head.version);
    m_in.erase(0, length);
    m_scanned = 0;
    if (head.status != 0) {
        reject(head.status, head.reason);
        return;
    }
    m_request.host = std::move(head.host);
    m_request.range = std::move(head.range);
    m_request.ifModifiedSince = std::move(head.ifModifiedSince);
    m_request.ifNoneMatch = std::move(head.ifNoneMatch);
    m_request.userAgent = std::move(head.userAgent);
    m_request.cookie = std::move(head.cookie);
    m_request.referer = std::move(head.referer);
    m_request.hasBody = head.hasBody;
    m_keepAlive = head.keepAlive;
    m_headOnly = m_request.method == "HEAD";
    if (head.hasBody) {
        if (!head.chunked && head.contentLength <= m_limits.maxDiscardedBody) {
            // A small body is read and dropped, so that the connection stays in step.
            m_bodyLeft = head.contentLength;
            arm(Clock::now() + allowance(m_bodyLeft));
            discardBody();
            return;
        }
        // A body no static file takes is never read: the answer goes out and the connection closes.
        m_keepAlive = false;
    }
    Response r = m_handler.handle(m_request);
    answer(std::move(r));
}

void HttpConnection::discardBody() {
    const std::size_t buffered = static_cast<std::size_t>(std::min<std::uint64_t>(m_bodyLeft, m_in.size()));
    m_in.erase(0, buffered);
    m_bodyLeft -= buffered;
    m_request.bytesReceived += buffered;
    if (m_bodyLeft > 0) {
        waitForBytes();
        return;
    }
    answer(m_handler.handle(m_request));
}

void HttpConnection::reject(int status, const char* reason) {
    m_keepAlive = false;
    m_headOnly = false;
    m_in.clear();
    if (m_started == Clock::time_point{})
        m_started = Clock::now();
    const Request partial = std::exchange(m_request, newRequest());
    m_request.method = partial.method;
    m_request.target = partial.target;
    m_request.version = partial.version;
    m_request.bytesReceived = partial.bytesReceived;
    answer(m_handler.reject(m_request, status, reason));
}

void HttpConnection::answer(Response r) {
    if (r.close)
        m_keepAlive = false;
    if (r.headOnly)
        m_headOnly = true;
    const bool noBody = r.status == 304 || r.status == 204 || r.status < 200;
    std::uint64_t length = r.streamFile.empty() ? r.body.size() : r.streamLength;
    m_fd = -1;
    if (!r.streamFile.empty() && !m_headOnly) {
        m_fd = ::open(r.streamFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            r = m_handler.reject(m_request, 500, "Internal");
            length = r.body.size();
        }
    }
    std::string& out = m_out;
    out.clear();
    out.reserve(256 + (m_headOnly || noBody ? 0 : r.body.size()));
    out += "HTTP/1.1 ";
    out += std::to_string(r.status);
    out += ' ';
    out += reasonPhrase(r.status);
    out += "\r\n";
    for (const auto& [name, value] : r.headers) {
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    if (!noBody) {
        if (!r.contentType.empty()) {
            out += "Content-Type: ";
            out += r.contentType;
            out += "\r\n";
        }
        out += "Content-Length: ";
        out += std::to_string(length);
        out += "\r\n";
    }
    if (!m_keepAlive)
        out += "Connection: close\r\n";
    else if (m_request.version == "HTTP/1.0")
        out += "Connection: Keep-Alive\r\n";
    out += "\r\n";
    if (!m_headOnly && !noBody && m_fd < 0)
        out += r.body;
    m_streamLeft = m_fd >= 0 ? r.streamLength : 0;
    m_response = std::move(r);
    m_response.body.clear();
    m_sent = 0;
    arm(Clock::now() + allowance(out.size() + m_streamLeft));
    // Most answers fit the socket's buffer: written at once, without a trip through the loop. A
    // run of pipelined requests goes through the loop now and then, so that the stack stays short.
    std::size_t done = 0;
    if (m_directWrites < MaxDirectWrites) {
        error_code ec;
        done = m_socket.write_some(asio::buffer(m_out), ec);
        if (ec && ec != asio::error::would_block) {
            written(ec, 0);
            return;
        }
        if (!ec && done == m_out.size()) {
            ++m_directWrites;
            written(ec, done);
            --m_directWrites;
            return;
        }
        if (ec)
            done = 0;
    }
    m_sent = done;
    asio::async_write(
        m_socket, asio::buffer(m_out.data() + done, m_out.size() - done),
        [self = shared_from_this()](const error_code& ec, std::size_t n) { self->written(ec, n); });
}

void HttpConnection::written(const boost::system::error_code& ec, std::size_t n) {
    m_sent += n;
    if (ec)
        finished(false);
    else
        writeNext();
}

void HttpConnection::writeNext() {
    if (m_streamLeft == 0) {
        finished(true);
        return;
    }
    if (m_chunk.empty())
        m_chunk.resize(StreamChunk);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(m_streamLeft, m_chunk.size()));
    const std::uint64_t offset = m_response.streamOffset + (m_response.streamLength - m_streamLeft);
    const ssize_t n = ::pread(m_fd, m_chunk.data(), want, static_cast<off_t>(offset));
    if (n <= 0) {
        finished(false); // the file shrank under the answer: the client sees the connection close
        return;
    }
    m_streamLeft -= static_cast<std::uint64_t>(n);
    asio::async_write(m_socket, asio::buffer(m_chunk.data(), static_cast<std::size_t>(n)),
                      [self = shared_from_this()](const error_code& ec, std::size_t written) {
                          self->written(ec, written);
                      });
}

void HttpConnection::finished(bool ok) {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    std::vector<char>().swap(m_chunk);
    const auto taken =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_started).count();
    m_handler.sent(m_response, m_sent, static_cast<std::uint32_t>(std::max<long long>(0, taken)));
    m_response = Response();
    m_started = {};
    if (!ok) {
        closeNow();
        return;
    }
    if (!m_keepAlive) {
        lingerAndClose();
        return;
    }
    if (m_out.capacity() > 16 * 1024)
        std::string().swap(m_out);
    process(); // a pipelined request may be waiting in m_in
}

void HttpConnection::lingerAndClose() {
    // The answer is out; what the client still sends (an unread body) is read and dropped for a
    // moment, so that closing does not reset the connection before the client has read the answer.
    error_code ec;
    m_socket.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) {
        closeNow();
        return;
    }
    m_in.clear();
    arm(Clock::now() + std::min<Clock::duration>(MaxLinger, m_timeout));
    linger();
}

void HttpConnection::linger() {
    m_socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& waited) {
        if (waited || self->m_closed) {
            self->closeNow();
            return;
        }
        error_code rc;
        const std::size_t n = self->m_socket.read_some(asio::buffer(t_read), rc);
        self->m_lingered += n;
        if ((rc && rc != asio::error::would_block) || (n == 0 && !rc) || self->m_lingered > MaxLingerBytes) {
            self->closeNow();
            return;
        }
        self->linger();
    });
}

void HttpConnection::closeNow() {
    if (m_closed)
        return;
    m_closed = true;
    error_code ec;
    m_timer.cancel();
    m_socket.cancel(ec);
    m_socket.close(ec);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace w3svc
