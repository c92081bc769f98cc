#include "emulation/net/TcpAcceptor.h"

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/post.hpp>

#include <future>
#include <mutex>
#include <new>
#include <vector>

namespace net {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The memory of the hand-over of accepted sockets to their threads: blocks that are made once and
// used again, so that the accepting thread's heap holds nothing that comes and goes between the
// poller's records of the sockets (see EventLoop).
class HandOverBlocks {
public:
    static constexpr std::size_t BlockSize = 512;
    void* take(std::size_t bytes) {
        if (bytes > BlockSize)
            return ::operator new(bytes);
        {
            std::lock_guard lock(m_lock);
            if (!m_free.empty()) {
                void* block = m_free.back();
                m_free.pop_back();
                return block;
            }
        }
        return ::operator new(BlockSize);
    }
    void give(void* block, std::size_t bytes) {
        if (bytes > BlockSize) {
            ::operator delete(block);
            return;
        }
        std::lock_guard lock(m_lock);
        m_free.push_back(block);
    }

private:
    std::mutex m_lock;
    std::vector<void*> m_free;
};

HandOverBlocks& handOverBlocks() {
    static auto* blocks = new HandOverBlocks; // outlives every thread that hands sockets over
    return *blocks;
}

template <typename T> struct HandOverAllocator {
    using value_type = T;
    HandOverAllocator() = default;
    template <typename U> HandOverAllocator(const HandOverAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(handOverBlocks().take(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { handOverBlocks().give(p, n * sizeof(T)); }
    template <typename U> bool operator==(const HandOverAllocator<U>&) const noexcept { return true; }
};

} // namespace

TcpAcceptor::TcpAcceptor(EventLoop& loop, OnSocket onSocket)
    : m_loop(loop), m_acceptor(loop.accepting()), m_pause(loop.accepting()), m_onSocket(std::move(onSocket)) {
}

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
    asio::io_context& context = m_loop.next();
    const HandOverAllocator<void> blocks;
    m_acceptor.async_accept(
        context, asio::bind_allocator(blocks, [self = shared_from_this(), &context, blocks](
                                                  const boost::system::error_code& ec, tcp::socket socket) {
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
                // The connection is set up on its own thread, so that its memory is made there. One
                // that cannot be set up (no memory) is closed; the listener goes on.
                try {
                    asio::post(context,
                               asio::bind_allocator(blocks, [self, socket = std::move(socket)]() mutable {
                                   try {
                                       self->m_onSocket(std::move(socket));
                                   } catch (const std::exception&) {
                                   }
                               }));
                } catch (const std::exception&) {
                }
            }
            self->accept();
        }));
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
    if (!m_loop.acceptingRuns() || done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        boost::system::error_code ignored;
        m_acceptor.close(ignored);
    }
}

} // namespace net
