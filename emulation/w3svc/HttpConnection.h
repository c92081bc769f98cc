#pragma once

#include "emulation/w3svc/Exchange.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace w3svc {

// Where a listener listens: what its requests are told about the address they came in on.
struct ListenEndpoint {
    QString address; // machine address, empty for 127.0.0.1
    QString loopback;
    std::uint16_t port = 0;       // the binding's port
    std::uint16_t listenPort = 0; // port + offset
};

// One client connection, on one event-loop thread for its life. It reads a request's head (within
// MaxRequestBytes and the ConnectionTimeout), checks its framing, reads and drops a small declared
// body or answers without reading it and closes, lets the service answer, writes the answer, logs
// it, and goes on with the next request already read (pipelining: in order, one at a time). An
// idle connection holds no read buffer.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(boost::asio::ip::tcp::socket socket, Handler& handler,
                   std::shared_ptr<const ListenEndpoint> endpoint, const Limits& limits);
    void start();

private:
    using Clock = std::chrono::steady_clock;
    void waitForBytes();
    void onReadable();
    void process();
    void handleHead(std::size_t length);
    void discardBody();
    void answer(Response response);
    void writeNext();
    void written(const boost::system::error_code& ec, std::size_t n);
    Request newRequest() const;
    void finished(bool ok);
    void reject(int status, const char* reason);
    void lingerAndClose();
    void linger();
    void closeNow();
    void arm(Clock::time_point deadline);
    void startTimer();
    Clock::duration allowance(std::uint64_t bytes) const;

    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    Clock::time_point m_deadline{};
    int m_timerWaits = 0;
    Handler& m_handler;
    std::shared_ptr<const ListenEndpoint> m_endpoint;
    const Limits& m_limits;
    QString m_clientIp;
    std::uint16_t m_clientPort = 0;

    std::string m_in;          // bytes read and not yet used
    std::size_t m_scanned = 0; // how far m_in has been searched for the head's end
    Clock::time_point m_headDeadline{};
    bool m_inHead = false;
    std::chrono::seconds m_timeout{120};

    Request m_request;
    std::uint64_t m_bodyLeft = 0;
    bool m_keepAlive = true;
    bool m_headOnly = false;
    Clock::time_point m_started{};

    Response m_response;
    std::string m_out; // the answer's head, and its body when it is small
    std::uint64_t m_sent = 0;
    std::uint64_t m_streamLeft = 0;
    int m_fd = -1;
    std::vector<char> m_chunk;
    std::uint64_t m_lingered = 0;
    static constexpr int MaxDirectWrites = 16;
    int m_directWrites = 0; // answers written at once further up the stack
    bool m_closed = false;
};

} // namespace w3svc
