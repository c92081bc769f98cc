#include "emulation/w3svc/HttpListeners.h"

#include "emulation/w3svc/WebService.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

// Threads for connections, shared by every listener. cpp-httplib keeps a connection on one thread
// for as long as it is kept alive, so a fixed pool would leave connections waiting: a thread is
// added whenever none is idle.
class ConnectionThreads {
public:
    ~ConnectionThreads() {
        {
            std::lock_guard lock(m_lock);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

    void run(std::function<void()> job) {
        {
            std::lock_guard lock(m_lock);
            m_jobs.push_back(std::move(job));
            if (m_idle < m_jobs.size())
                m_threads.emplace_back([this] { work(); });
        }
        m_wake.notify_one();
    }

private:
    void work() {
        std::unique_lock lock(m_lock);
        for (;;) {
            ++m_idle;
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            --m_idle;
            if (m_jobs.empty())
                return;
            auto job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    size_t m_idle = 0;
    bool m_stopping = false;
};

namespace {

// One listener's view of the shared threads: its shutdown waits for its own connections only.
class ListenerQueue final : public httplib::TaskQueue {
public:
    explicit ListenerQueue(ConnectionThreads& threads) : m_threads(threads) {}
    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard lock(m_lock);
            ++m_running;
        }
        m_threads.run([this, fn = std::move(fn)] {
            fn();
            std::lock_guard lock(m_lock);
            --m_running;
            m_done.notify_all();
        });
    }
    void shutdown() override {
        std::unique_lock lock(m_lock);
        m_done.wait(lock, [this] { return m_running == 0; });
    }

private:
    ConnectionThreads& m_threads;
    std::mutex m_lock;
    std::condition_variable m_done;
    size_t m_running = 0;
};

// What the handler leaves for the log, which cpp-httplib calls once the response is written.
struct PendingLog {
    bool pending = false;
    bool central = false;
    std::chrono::steady_clock::time_point start;
    LogEntry entry;
};
thread_local PendingLog t_pending;

std::uint64_t requestSize(const httplib::Request& req) {
    std::uint64_t n = req.method.size() + req.target.size() + req.version.size() + 4;
    for (const auto& [k, v] : req.headers)
        n += k.size() + v.size() + 4;
    return n + 2 + req.body.size();
}

std::uint64_t responseSize(const httplib::Request& req, const httplib::Response& res) {
    std::uint64_t n = 9 + 4 + res.reason.size() + 2;
    for (const auto& [k, v] : res.headers)
        n += k.size() + v.size() + 4;
    n += 2;
    if (req.method != "HEAD")
        n += res.body.empty() ? std::strtoull(res.get_header_value("Content-Length").c_str(), nullptr, 10)
                              : res.body.size();
    return n;
}

} // namespace

// cpp-httplib as Debian builds it listens with a backlog of 5: 64 clients connecting at once would
// find their handshakes dropped and wait for the retransmission, a second or more. The socket is
// told a longer backlog once it listens.
class Server final : public httplib::Server {
public:
    void lengthenBacklog() {
        const auto socket = svr_sock_.load();
        if (socket != INVALID_SOCKET)
            ::listen(socket, SOMAXCONN);
    }
};

struct Listener {
    QString address; // machine address, empty for 127.0.0.1
    QString loopback;
    std::uint16_t port = 0;       // the binding's port
    std::uint16_t listenPort = 0; // port + offset
    Server server;
    std::thread thread;
    std::atomic<bool> finished{false};
};

HttpListeners::HttpListeners(WebService& service, int portOffset)
    : m_service(service), m_offset(portOffset), m_threads(std::make_unique<ConnectionThreads>()) {
    int n = 0;
    for (const QString& a : service.machineAddresses())
        if (++n < 255)
            m_addresses.emplace_back(a, u"127.0.1."_s + QString::number(n));
}

HttpListeners::~HttpListeners() {
    closeAll();
}

QString HttpListeners::loopbackOf(const QString& machineAddress) const {
    for (const auto& [a, l] : m_addresses)
        if (a == machineAddress)
            return l;
    return {};
}

void HttpListeners::update(const std::function<void(const QString&)>& warn) {
    reap(false);
    const auto snap = m_service.current();
    if (!m_first && snap->generation == m_generation)
        return;
    const bool reset = !m_first && snap->resetCount != m_resetCount;
    const bool switched = !m_first && snap->running != m_running;
    if (reset)
        closeAll(); // iisreset: the service stops and starts again
    m_running = snap->running;
    m_first = false;
    m_generation = snap->generation;
    m_resetCount = snap->resetCount;

    // What should be open: (loopback, listen port) -> (machine address, binding port).
    std::map<std::pair<QString, std::uint16_t>, std::pair<QString, std::uint16_t>> wanted;
    if (snap->running)
        for (const auto& [ip, port] : snap->table->endpoints()) {
            const int listenPort = port + m_offset;
            if (listenPort <= 0 || listenPort > 65535) {
                if (!m_warned[{ip, port}])
                    warn(u"端口 %1 加上偏移 %2 超出范围，未侦听。"_s.arg(port).arg(m_offset));
                m_warned[{ip, port}] = true;
                continue;
            }
            const auto lp = static_cast<std::uint16_t>(listenPort);
            if (ip.isEmpty()) {
                wanted[{u"127.0.0.1"_s, lp}] = {QString(), port};
                for (const auto& [a, l] : m_addresses)
                    wanted[{l, lp}] = {a, port};
            } else if (const QString l = loopbackOf(ip); !l.isEmpty()) {
                wanted[{l, lp}] = {ip, port};
            } else if (!m_warned[{ip, port}]) {
                m_warned[{ip, port}] = true;
                warn(u"%1 不是本机的 IP 地址，绑定到它的站点不应答。"_s.arg(ip));
            }
        }

    for (auto it = m_open.begin(); it != m_open.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        it->second->server.stop();
        m_closing.push_back(std::move(it->second));
        it = m_open.erase(it);
    }
    for (const auto& [endpoint, target] : wanted) {
        if (m_open.count(endpoint))
            continue;
        auto l = std::make_unique<Listener>();
        l->loopback = endpoint.first;
        l->listenPort = endpoint.second;
        l->address = target.first;
        l->port = target.second;
        Listener* self = l.get();
        ConnectionThreads* threads = m_threads.get();
        l->server.new_task_queue = [threads] {
            return new ListenerQueue(*threads);
        };
        l->server.set_tcp_nodelay(true);
        l->server.set_keep_alive_max_count(std::numeric_limits<int>::max());
        // An idle kept-alive connection holds a stopping listener until it times out: the stop of
        // the service (or of serve) waits at most this long.
        l->server.set_keep_alive_timeout(2);
        auto handler = [this, self](const httplib::Request& req, httplib::Response& res) {
            // IIS 6 compresses nothing unless told to, and the ranges are answered here.
            auto& request = const_cast<httplib::Request&>(req);
            request.ranges.clear();
            request.headers.erase("Accept-Encoding");
            Request rq;
            rq.address = self->address;
            rq.localIp = self->loopback;
            rq.port = self->port;
            rq.listenPort = self->listenPort;
            rq.method = req.method;
            rq.target = req.target;
            rq.version = req.version;
            rq.host = req.get_header_value("Host");
            rq.range = req.get_header_value("Range");
            rq.ifModifiedSince = req.get_header_value("If-Modified-Since");
            rq.userAgent = req.get_header_value("User-Agent");
            rq.cookie = req.get_header_value("Cookie");
            rq.referer = req.get_header_value("Referer");
            rq.clientIp = QString::fromStdString(req.remote_addr);
            rq.bytesReceived = requestSize(req);
            t_pending.start = std::chrono::steady_clock::now();
            Response r = m_service.handle(rq);
            r.entry.status = r.status;
            r.entry.substatus = r.substatus;
            r.entry.win32Status = r.win32Status;
            res.status = r.status;
            for (auto& [k, v] : r.headers)
                res.set_header(k, v);
            if (!r.streamFile.empty()) {
                const int fd = ::open(r.streamFile.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    res.status = 500;
                } else {
                    const std::uint64_t start = r.streamOffset;
                    res.set_content_provider(
                        r.streamLength, r.contentType,
                        [fd, start](size_t offset, size_t length, httplib::DataSink& sink) {
                            std::string chunk(std::min<size_t>(length, 64 * 1024), '\0');
                            const ssize_t n =
                                ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(start + offset));
                            return n > 0 && sink.write(chunk.data(), static_cast<size_t>(n));
                        },
                        [fd](bool) { ::close(fd); });
                }
            } else if (!r.contentType.empty() || !r.body.empty()) {
                res.set_content(std::move(r.body), r.contentType.c_str());
            }
            t_pending.pending = r.log;
            t_pending.central = r.centralLog;
            t_pending.entry = std::move(r.entry);
        };
        l->server.set_pre_routing_handler([handler](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                req.method == "DELETE" || req.method == "OPTIONS")
                return httplib::Server::HandlerResponse::Unhandled; // the body is read first
            handler(req, res);
            return httplib::Server::HandlerResponse::Handled;
        });
        l->server.Post(".*", handler);
        l->server.Put(".*", handler);
        l->server.Patch(".*", handler);
        l->server.Delete(".*", handler);
        l->server.Options(".*", handler);
        l->server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
            if (!t_pending.pending)
                return;
            t_pending.pending = false;
            LogEntry& e = t_pending.entry;
            e.bytesSent = responseSize(req, res);
            e.timeTaken = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now() - t_pending.start)
                                                         .count());
            m_service.log(e, t_pending.central);
        });
        if (!l->server.bind_to_port(l->loopback.toStdString(), l->listenPort)) {
            warn(u"无法侦听 %1:%2（端口已被占用或地址不可用）。"_s.arg(l->loopback).arg(l->listenPort));
            continue;
        }
        l->server.lengthenBacklog();
        l->thread = std::thread([self] {
            self->server.listen_after_bind();
            self->finished = true;
        });
        // A listener stopped before it runs would never see the stop.
        while (!l->server.is_running() && !l->finished)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_open.emplace(endpoint, std::move(l));
    }
    // Told once the listeners are as the service now wants them: a client that reads the note
    // finds the service answering.
    if (reset)
        warn(u"iisreset：W3SVC 已重新启动。"_s);
    if (switched)
        warn(snap->running ? u"W3SVC 服务已启动。"_s : u"W3SVC 服务已停止：不再接受连接。"_s);
}

void HttpListeners::reap(bool wait) {
    for (auto it = m_closing.begin(); it != m_closing.end();) {
        if (wait || (*it)->finished) {
            if ((*it)->thread.joinable())
                (*it)->thread.join();
            it = m_closing.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpListeners::closeAll() {
    for (auto& [endpoint, l] : m_open) {
        l->server.stop();
        m_closing.push_back(std::move(l));
    }
    m_open.clear();
    reap(true);
}

} // namespace w3svc
