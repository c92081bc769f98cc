#include "emulation/w3svc/HttpListeners.h"

#include "emulation/net/EventLoop.h"
#include "emulation/net/TcpAcceptor.h"
#include "emulation/w3svc/HttpConnection.h"
#include "emulation/w3svc/WebService.h"

#include <algorithm>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

ListenPlan listenPlan(const std::set<std::pair<QString, std::uint16_t>>& endpoints, int offset,
                      const std::vector<std::pair<QString, QString>>& addresses,
                      std::map<std::pair<QString, std::uint16_t>, bool>& warned,
                      const std::function<void(const QString&)>& warn, const QString& service) {
    ListenPlan wanted;
    for (const auto& [ip, port] : endpoints) {
        const int listenPort = port + offset;
        if (listenPort <= 0 || listenPort > 65535) {
            if (!warned[{ip, port}])
                warn(service + u"端口 %1 加上偏移 %2 超出范围，未侦听。"_s.arg(port).arg(offset));
            warned[{ip, port}] = true;
            continue;
        }
        const auto lp = static_cast<std::uint16_t>(listenPort);
        if (ip.isEmpty()) {
            wanted[{u"127.0.0.1"_s, lp}] = {QString(), port};
            for (const auto& [a, l] : addresses)
                wanted[{l, lp}] = {a, port};
            continue;
        }
        const auto mapped = std::find_if(addresses.begin(), addresses.end(),
                                         [&ip = ip](const auto& a) { return a.first == ip; });
        if (mapped != addresses.end()) {
            wanted[{mapped->second, lp}] = {ip, port};
        } else if (!warned[{ip, port}]) {
            warned[{ip, port}] = true;
            warn(u"%1 不是本机的 IP 地址，绑定到它的%2站点不应答。"_s.arg(ip, service));
        }
    }
    return wanted;
}

std::vector<std::pair<QString, QString>> loopbackAddresses(const QStringList& machineAddresses) {
    std::vector<std::pair<QString, QString>> out;
    int n = 0;
    for (const QString& a : machineAddresses)
        if (++n < 255)
            out.emplace_back(a, u"127.0.1."_s + QString::number(n));
    return out;
}

HttpListeners::HttpListeners(WebService& service, int portOffset, unsigned threads, Limits limits)
    : m_service(service), m_offset(portOffset), m_limits(limits),
      m_ownLoop(std::make_unique<net::EventLoop>(threads)), m_loop(m_ownLoop.get()) {
    m_addresses = loopbackAddresses(service.machineAddresses());
}

HttpListeners::HttpListeners(WebService& service, net::EventLoop& loop, int portOffset, Limits limits)
    : m_service(service), m_offset(portOffset), m_limits(limits), m_loop(&loop) {
    m_addresses = loopbackAddresses(service.machineAddresses());
}

HttpListeners::~HttpListeners() {
    stop();
}

unsigned HttpListeners::threadCount() const {
    return m_loop->threadCount();
}

QString HttpListeners::loopbackOf(const QString& machineAddress) const {
    for (const auto& [a, l] : m_addresses)
        if (a == machineAddress)
            return l;
    return {};
}

void HttpListeners::update(const std::function<void(const QString&)>& warn) {
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

    const ListenPlan wanted =
        snap->running ? listenPlan(snap->table->endpoints(), m_offset, m_addresses, m_warned, warn, {})
                      : ListenPlan();

    for (auto it = m_open.begin(); it != m_open.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        it->second.acceptor->close();
        it = m_open.erase(it);
    }
    for (const auto& [at, target] : wanted) {
        if (m_open.count(at))
            continue;
        auto endpoint = std::make_shared<ListenEndpoint>();
        endpoint->loopback = at.first;
        endpoint->listenPort = at.second;
        endpoint->address = target.first;
        endpoint->port = target.second;
        Handler& handler = m_service;
        const Limits& limits = m_limits;
        std::string error;
        auto acceptor = net::TcpAcceptor::open(
            *m_loop, at.first.toStdString(), at.second,
            [&handler, &limits, endpoint](boost::asio::ip::tcp::socket socket) {
                std::make_shared<HttpConnection>(std::move(socket), handler, endpoint, limits)->start();
            },
            error);
        if (!acceptor) {
            warn(u"无法侦听 %1:%2（%3）。"_s.arg(at.first).arg(at.second).arg(QString::fromStdString(error)));
            continue;
        }
        acceptor->start();
        m_open.emplace(at, Listener{std::move(endpoint), std::move(acceptor)});
    }
    // Told once the listeners are as the service now wants them: a client that reads the note
    // finds the service answering.
    if (reset)
        warn(u"iisreset：W3SVC 已重新启动。"_s);
    if (switched)
        warn(snap->running ? u"W3SVC 服务已启动。"_s : u"W3SVC 服务已停止：不再接受连接。"_s);
}

void HttpListeners::closeAll() {
    for (auto& [at, l] : m_open)
        l.acceptor->close();
    m_open.clear();
}

void HttpListeners::stop() {
    closeAll();
    if (m_ownLoop)
        m_ownLoop->stop();
}

} // namespace w3svc
