#pragma once

#include "emulation/net/EventLoop.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace net {

// One listening TCP socket that hands each accepted connection, on the event loop's next context,
// to a callback that runs on that context's thread. When the process runs out of descriptors (or memory for a
// socket) accepting pauses for a moment and resumes: new connections wait in the backlog, served ones go on.
class TcpAcceptor : public std::enable_shared_from_this<TcpAcceptor> {
public:
    using OnSocket = std::function<void(boost::asio::ip::tcp::socket)>;

    // Binds and listens; null with a reason in error when the address or port cannot be had.
    static std::shared_ptr<TcpAcceptor> open(EventLoop& loop, const std::string& address, std::uint16_t port,
                                             OnSocket onSocket, std::string& error);
    TcpAcceptor(EventLoop& loop, OnSocket onSocket);

    void start();
    // Closes the listening socket and waits until it is closed (not from an event-loop thread).
    void close();
    // How often accepting paused for want of descriptors.
    std::uint64_t pauses() const { return m_pauses; }

    static constexpr int PauseMs = 50;

private:
    void accept();

    EventLoop& m_loop;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_pause;
    OnSocket m_onSocket;
    std::atomic<std::uint64_t> m_pauses{0};
};

} // namespace net
