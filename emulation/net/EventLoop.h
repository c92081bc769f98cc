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
    unsigned threadCount() const { return static_cast<unsigned>(m_threads.size()); }
    // Stops every context and waits for the threads to end; idempotent.
    void stop();

private:
    using Work = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
    std::vector<std::unique_ptr<boost::asio::io_context>> m_contexts;
    std::vector<Work> m_work;
    std::vector<std::thread> m_threads;
    std::atomic<unsigned> m_next{0};
};

} // namespace net
