// The listening sockets both services share: each accepted connection is set up on the event-loop
// thread that serves it, not on the thread that accepts.

#include "emulation/net/EventLoop.h"
#include "emulation/net/TcpAcceptor.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

std::uint16_t freePort() {
    asio::io_context context;
    tcp::acceptor probe(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

TEST(TcpAcceptor, EachConnectionIsSetUpOnTheThreadThatServesIt) {
    net::EventLoop loop(2);
    ASSERT_EQ(loop.threadCount(), 2u);
    constexpr int Connections = 6;
    std::mutex lock;
    std::vector<bool> onItsThread;
    std::vector<std::thread::id> threads;
    std::vector<tcp::socket> kept;
    std::promise<void> allThere;
    std::string error;
    const std::uint16_t port = freePort();
    auto acceptor = net::TcpAcceptor::open(
        loop, "127.0.0.1", port,
        [&](tcp::socket socket) {
            const auto* executor = socket.get_executor().target<asio::io_context::executor_type>();
            std::lock_guard guard(lock);
            onItsThread.push_back(executor && executor->running_in_this_thread());
            threads.push_back(std::this_thread::get_id());
            kept.push_back(std::move(socket));
            if (onItsThread.size() == Connections)
                allThere.set_value();
        },
        error);
    ASSERT_TRUE(acceptor) << error;
    acceptor->start();

    asio::io_context clientContext;
    std::vector<tcp::socket> clients;
    for (int i = 0; i < Connections; ++i) {
        clients.emplace_back(clientContext);
        clients.back().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    }
    ASSERT_EQ(allThere.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    acceptor->close();
    {
        std::lock_guard guard(lock);
        for (int i = 0; i < Connections; ++i)
            EXPECT_TRUE(onItsThread[i]) << i;
        // The connections are shared out over both threads, and neither is the caller's.
        std::sort(threads.begin(), threads.end());
        EXPECT_EQ(std::unique(threads.begin(), threads.end()) - threads.begin(), 2);
        EXPECT_EQ(std::find(threads.begin(), threads.end(), std::this_thread::get_id()), threads.end());
    }
    loop.stop();
    kept.clear();
}

} // namespace
