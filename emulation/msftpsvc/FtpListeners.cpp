#include "emulation/msftpsvc/FtpListeners.h"

#include "emulation/msftpsvc/FtpService.h"
#include "emulation/msftpsvc/FtpSession.h"
#include "emulation/net/EventLoop.h"
#include "emulation/net/TcpAcceptor.h"
#include "emulation/w3svc/HttpListeners.h"

#include <algorithm>
#include <set>

namespace msftpsvc {

using namespace Qt::Literals::StringLiterals;

FtpListeners::FtpListeners(FtpService& service, net::EventLoop& loop, int portOffset,
                           std::vector<std::pair<QString, QString>> addresses)
    : m_service(service), m_loop(loop), m_offset(portOffset), m_addresses(std::move(addresses)) {}

FtpListeners::~FtpListeners() {
    stop();
}

QString FtpListeners::loopbackOf(const QString& machineAddress) const {
    for (const auto& [a, l] : m_addresses)
        if (a == machineAddress)
            return l;
    return {};
}

std::size_t FtpListeners::sessionCount() {
    std::lock_guard lock(*m_sessionsLock);
    return static_cast<std::size_t>(
        std::count_if(m_sessions->begin(), m_sessions->end(),
                      [](const std::weak_ptr<FtpSession>& s) { return !s.expired(); }));
}

void FtpListeners::endSessions(const std::function<bool(std::uint32_t)>& which) {
    std::vector<std::shared_ptr<FtpSession>> ending;
    {
        std::lock_guard lock(*m_sessionsLock);
        auto& all = *m_sessions;
        all.erase(std::remove_if(all.begin(), all.end(),
                                 [](const std::weak_ptr<FtpSession>& s) { return s.expired(); }),
                  all.end());
        for (const auto& weak : all)
            if (auto s = weak.lock(); s && which(s->siteId()))
                ending.push_back(std::move(s));
    }
    for (const auto& s : ending)
        s->terminate();
}

void FtpListeners::update(const std::function<void(const QString&)>& warn) {
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

    // Sessions of sites that stopped (or of a service that stopped or was reset) end.
    std::set<std::uint32_t> alive;
    if (snap->running && !reset)
        for (const FtpSite& site : snap->table->sites())
            if (site.state == state::Started || site.state == state::Paused)
                alive.insert(site.id);
    endSessions([&alive](std::uint32_t id) { return id != 0 && !alive.count(id); });

    const w3svc::ListenPlan wanted = snap->running ? w3svc::listenPlan(snap->table->endpoints(), m_offset,
                                                                       m_addresses, m_warned, warn, u"FTP "_s)
                                                   : w3svc::ListenPlan();

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
        auto endpoint = std::make_shared<FtpEndpoint>();
        endpoint->loopback = at.first;
        endpoint->listenPort = at.second;
        endpoint->address = target.first;
        endpoint->port = target.second;
        FtpService& service = m_service;
        std::string error;
        auto acceptor = net::TcpAcceptor::open(
            m_loop, at.first.toStdString(), at.second,
            [&service, endpoint, lock = m_sessionsLock,
             sessions = m_sessions](boost::asio::ip::tcp::socket socket) {
                auto session = std::make_shared<FtpSession>(std::move(socket), service, endpoint);
                {
                    std::lock_guard guard(*lock);
                    // Ended sessions leave their places to new ones now and then.
                    if (sessions->size() >= 1024 && sessions->size() % 1024 == 0)
                        sessions->erase(
                            std::remove_if(sessions->begin(), sessions->end(),
                                           [](const std::weak_ptr<FtpSession>& s) { return s.expired(); }),
                            sessions->end());
                    sessions->push_back(session);
                }
                session->start();
            },
            error);
        if (!acceptor) {
            warn(u"无法侦听 FTP %1:%2（%3）。"_s.arg(at.first).arg(at.second).arg(
                QString::fromStdString(error)));
            continue;
        }
        acceptor->start();
        m_open.emplace(at, Listener{std::move(endpoint), std::move(acceptor)});
    }
    if (reset)
        warn(u"iisreset：MSFTPSVC 已重新启动。"_s);
    if (switched)
        warn(snap->running ? u"MSFTPSVC 服务已启动。"_s : u"MSFTPSVC 服务已停止：不再接受连接。"_s);
}

void FtpListeners::closeAll() {
    for (auto& [at, l] : m_open)
        l.acceptor->close();
    m_open.clear();
}

void FtpListeners::stop() {
    closeAll();
    endSessions([](std::uint32_t) { return true; });
}

} // namespace msftpsvc
