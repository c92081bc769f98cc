#include "emulation/net/EventLoop.h"

#include <algorithm>
#include <exception>
#include <system_error>

namespace net {

namespace {

// A handler that throws ends only the work it was doing; the loop goes on.
void runContext(boost::asio::io_context* ctx) {
    for (;;) {
        try {
            ctx->run();
            return;
        } catch (const std::exception&) {
        }
    }
}

} // namespace

EventLoop::EventLoop(unsigned threads) {
    if (threads == 0)
        threads = std::max(2u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < threads; ++i) {
        auto context = std::make_unique<boost::asio::io_context>(1);
        Work work = boost::asio::make_work_guard(*context);
        try {
            m_threads.emplace_back([ctx = context.get()] { runContext(ctx); });
        } catch (const std::system_error&) {
            break; // no more threads: the loop runs on those it has
        }
        m_contexts.push_back(std::move(context));
        m_work.push_back(std::move(work));
    }
    if (m_contexts.empty()) // none could be made: a context nobody runs keeps next() valid
        m_contexts.push_back(std::make_unique<boost::asio::io_context>(1));
    m_accept = std::make_unique<boost::asio::io_context>(1);
    m_acceptWork = std::make_unique<Work>(boost::asio::make_work_guard(*m_accept));
    try {
        m_acceptThread = std::thread([ctx = m_accept.get()] { runContext(ctx); });
        m_acceptOwn = true;
    } catch (const std::system_error&) {
        m_acceptWork.reset(); // listeners accept on the first context instead
    }
}

EventLoop::~EventLoop() {
    stop();
}

boost::asio::io_context& EventLoop::next() {
    const unsigned n = m_next.fetch_add(1, std::memory_order_relaxed);
    return *m_contexts[n % m_contexts.size()];
}

void EventLoop::stop() {
    if (m_acceptWork)
        m_acceptWork->reset();
    m_accept->stop();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (Work& w : m_work)
        w.reset();
    for (auto& c : m_contexts)
        c->stop();
    for (std::thread& t : m_threads)
        if (t.joinable())
            t.join();
}

} // namespace net
