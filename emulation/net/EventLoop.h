#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace net {

// A fixed number of event-loop threads, each running an I/O context of its own: a connection lives
// on one context for its life, so its handlers never run at the same time and need no strand. The
// number does not change with the number of connections.
//
// Listening sockets accept on one more thread of their own, which does nothing else. What the
// kernel's poller keeps per socket (and reuses for later sockets) is then made apart from the
// connections' own memory: when a crowd of connections leaves, the memory it held is free in whole
// pages and goes back to the system, instead of being pinned by the poller's records in between.
class EventLoop {
public:
    // threads 0: one a core (at least two). A thread that cannot be made is left out; the loop runs
    // on the ones that could (threadCount() is 0 when none could).
    explicit EventLoop(unsigned threads = 0);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The contexts in turn, for new connections.
    boost::asio::io_context& next();
    boost::asio::io_context& first() { return *m_contexts.front(); }
    // The context that listening sockets accept on (the first one when its thread could not be made).
    boost::asio::io_context& accepting() { return m_acceptOwn ? *m_accept : first(); }
    // Whether accepting() is run by a thread (else close listeners where you are).
    bool acceptingRuns() const { return m_acceptOwn || !m_threads.empty(); }
    // The event-loop threads, without the one that accepts.
    unsigned threadCount() const { return static_cast<unsigned>(m_threads.size()); }
    // Stops every context and waits for the threads to end; idempotent.
    void stop();

private:
    using Work = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
    std::vector<std::unique_ptr<boost::asio::io_context>> m_contexts;
    std::vector<Work> m_work;
    std::vector<std::thread> m_threads;
    std::unique_ptr<boost::asio::io_context> m_accept;
    std::unique_ptr<Work> m_acceptWork;
    std::thread m_acceptThread;
    bool m_acceptOwn = false; // accepting has a thread of its own
    std::atomic<unsigned> m_next{0};
};

} // namespace net
