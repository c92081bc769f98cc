#pragma once

#include "emulation/w3svc/Exchange.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace net {
class EventLoop;
class TcpAcceptor;
} // namespace net

namespace w3svc {

class WebService;
struct ListenEndpoint;

// Where a service's listeners go: (loopback, listen port) -> (machine address, binding port), for
// the addresses (empty: all unassigned) and ports its started sites are bound to, each port +
// offset. Bindings of all unassigned addresses answer on 127.0.0.1 and on every mapped address. An
// endpoint that cannot be served (a port out of range, an address that is not the machine's) is
// told once to warn; service names the service in that note ("" for the web service, "FTP ").
using ListenPlan = std::map<std::pair<QString, std::uint16_t>, std::pair<QString, std::uint16_t>>;
ListenPlan listenPlan(const std::set<std::pair<QString, std::uint16_t>>& endpoints, int offset,
                      const std::vector<std::pair<QString, QString>>& addresses,
                      std::map<std::pair<QString, std::uint16_t>, bool>& warned,
                      const std::function<void(const QString&)>& warn, const QString& service);

// Each machine address's loopback address, in order: 127.0.1.1, 127.0.1.2, ...
std::vector<std::pair<QString, QString>> loopbackAddresses(const QStringList& machineAddresses);

// The web service's HTTP listeners on loopback addresses, on a fixed number of event-loop threads.
// Each machine address gets a loopback address of its own (127.0.1.1, 127.0.1.2, ...); bindings of
// all unassigned addresses answer on 127.0.0.1 and on every mapped address; a binding's port is
// served at port + offset. The listeners follow the machine: sites started, paused, stopped or
// rebound, the service stopped (every listener closed, so connections are refused) and started
// again, iisreset (every listener closed and opened again).
class HttpListeners {
public:
    // threads 0: one a core.
    HttpListeners(WebService& service, int portOffset, unsigned threads = 0, Limits limits = {});
    // On an event loop shared with other services (the FTP service), which outlives the listeners.
    HttpListeners(WebService& service, net::EventLoop& loop, int portOffset, Limits limits = {});
    ~HttpListeners();
    HttpListeners(const HttpListeners&) = delete;
    HttpListeners& operator=(const HttpListeners&) = delete;

    // Brings the listeners in line with the machine's current state; notes for the operator (an
    // endpoint that could not be opened, the service stopped, started or reset) go to warn.
    void update(const std::function<void(const QString&)>& warn);
    // Closes every listener.
    void closeAll();
    // Closes every listener and ends every connection.
    void stop();

    // Machine address -> loopback address, in the order of the machine's facts.
    const std::vector<std::pair<QString, QString>>& addressMap() const { return m_addresses; }
    QString loopbackOf(const QString& machineAddress) const;
    int portOffset() const { return m_offset; }
    unsigned threadCount() const;

private:
    struct Listener {
        std::shared_ptr<const ListenEndpoint> endpoint;
        std::shared_ptr<net::TcpAcceptor> acceptor;
    };

    WebService& m_service;
    int m_offset;
    Limits m_limits;
    std::unique_ptr<net::EventLoop> m_ownLoop; // null on a shared loop
    net::EventLoop* m_loop;
    std::vector<std::pair<QString, QString>> m_addresses;
    std::map<std::pair<QString, std::uint16_t>, Listener> m_open; // loopback, port
    std::uint64_t m_generation = 0;
    QString m_resetCount;
    bool m_first = true;
    bool m_running = true;
    std::map<std::pair<QString, std::uint16_t>, bool> m_warned;
};

} // namespace w3svc
