#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace net {
class EventLoop;
class TcpAcceptor;
} // namespace net

namespace msftpsvc {

class FtpService;
class FtpSession;
struct FtpEndpoint;

// The FTP service's listeners on loopback addresses, on the event loop the web service uses.
// addresses maps each machine address to its loopback address (as the web service maps them);
// bindings of all unassigned addresses answer on 127.0.0.1 and on every mapped address; a binding's
// port is served at port + offset. They follow the machine: sites started, paused (no new
// sessions), stopped (listener closed, sessions ended), the service stopped and started, iisreset
// (every listener closed and opened again, every session ended).
class FtpListeners {
public:
    FtpListeners(FtpService& service, net::EventLoop& loop, int portOffset,
                 std::vector<std::pair<QString, QString>> addresses);
    ~FtpListeners();
    FtpListeners(const FtpListeners&) = delete;
    FtpListeners& operator=(const FtpListeners&) = delete;

    void update(const std::function<void(const QString&)>& warn);
    // Closes every listener and ends every session.
    void stop();
    QString loopbackOf(const QString& machineAddress) const;
    int portOffset() const { return m_offset; }
    // Sessions open now (for the benchmark and the operator).
    std::size_t sessionCount();

private:
    struct Listener {
        std::shared_ptr<const FtpEndpoint> endpoint;
        std::shared_ptr<net::TcpAcceptor> acceptor;
    };
    void closeAll();
    // Ends the sessions of the sites for which which() holds.
    void endSessions(const std::function<bool(std::uint32_t)>& which);

    FtpService& m_service;
    net::EventLoop& m_loop;
    int m_offset;
    std::vector<std::pair<QString, QString>> m_addresses;
    std::map<std::pair<QString, std::uint16_t>, Listener> m_open; // loopback, port
    std::uint64_t m_generation = 0;
    QString m_resetCount;
    bool m_first = true;
    bool m_running = true;
    std::map<std::pair<QString, std::uint16_t>, bool> m_warned;
    std::shared_ptr<std::mutex> m_sessionsLock = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<std::weak_ptr<FtpSession>>> m_sessions =
        std::make_shared<std::vector<std::weak_ptr<FtpSession>>>();
};

} // namespace msftpsvc
