#include "emulation/net/TcpAcceptor.h"

#include <boost/asio/post.hpp>

#include <future>

namespace net {

namespace asio = boost::asio;
using asio::ip::tcp;

TcpAcceptor::TcpAcceptor(EventLoop& loop, OnSocket onSocket)
    : m_loop(loop), m_acceptor(loop.first()), m_pause(loop.first()), m_onSocket(std::move(onSocket)) {}

std::shared_ptr<TcpAcceptor> TcpAcceptor::open(EventLoop& loop, const std::string& address,
                                               std::uint16_t port, OnSocket onSocket, std::string& error) {
    auto self = std::make_shared<TcpAcceptor>(loop, std::move(onSocket));
    boost::system::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (!ec) {
        const tcp::endpoint at(ip, port);
        self->m_acceptor.open(at.protocol(), ec);
        if (!ec)
            self->m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec)
            self->m_acceptor.bind(at, ec);
        if (!ec)
            self->m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = ec.message();
        return nullptr;
    }
    return self;
}

void TcpAcceptor::start() {
    asio::post(m_acceptor.get_executor(), [self = shared_from_this()] { self->accept(); });
}

void TcpAcceptor::accept() {
    m_acceptor.async_accept(
        m_loop.next(), [self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !self->m_acceptor.is_open())
                return;
            if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                ec == asio::error::no_memory || ec.value() == ENFILE) {
                // Out of descriptors: the pending connections wait in the backlog until some are freed.
                ++self->m_pauses;
                self->m_pause.expires_after(std::chrono::milliseconds(PauseMs));
                self->m_pause.async_wait([self](const boost::system::error_code& waited) {
                    if (!waited && self->m_acceptor.is_open())
                        self->accept();
                });
                return;
            }
            if (!ec) {
                try {
                    self->m_onSocket(std::move(socket));
                } catch (const std::exception&) {
                    // The connection could not be set up (no memory): it is closed, the listener goes on.
                }
            }
            self->accept();
        });
}

void TcpAcceptor::close() {
    auto closed = std::make_shared<std::promise<void>>();
    auto done = closed->get_future();
    asio::post(m_acceptor.get_executor(), [self = shared_from_this(), closed] {
        boost::system::error_code ignored;
        self->m_pause.cancel();
        self->m_acceptor.close(ignored);
        closed->set_value();
    });
    // A loop without threads never runs the close: the socket is closed here instead.
    if (m_loop.threadCount() == 0 || done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        boost::system::error_code ignored;
        m_acceptor.close(ignored);
    }
}

} // namespace net
