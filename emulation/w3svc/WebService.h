#pragma once

#include "emulation/w3svc/CentralRequestLog.h"
#include "emulation/w3svc/CommitWatch.h"
#include "emulation/w3svc/Exchange.h"
#include "emulation/w3svc/HttpErrorLog.h"
#include "emulation/w3svc/RightsCache.h"
#include "emulation/w3svc/SiteTable.h"
#include "emulation/w3svc/StaticFiles.h"
#include "emulation/w3svc/W3cSiteLogs.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace emulation::machine {
class Machine;
}

namespace w3svc {

// The web service's view of the machine at one moment: the sites and the service's own state.
struct Snapshot {
    std::unique_ptr<SiteTable> table;
    bool running = true;          // the W3SVC service (and IIS Admin) is not stopped
    QString resetCount;           // changes with every iisreset
    std::uint64_t generation = 0; // counts the snapshots read
    std::uint64_t serial = 0;     // tells this state apart from every other one of the process

    // What the access checks found while this state holds.
    mutable std::shared_mutex cacheLock;
    mutable QHash<QString, QString> logons; // user + "\n" + password -> SID, empty when refused
    RightsCache rights;
};

// The machine's W3SVC without the network: matches a request to a site by its checked host,
// applies the site's state, redirect, methods, and hands the rest to the static-file handler under
// the anonymous user's logon; logs every answer (the site's W3C log, the central binary log, or
// HTTP.sys's error log). Safe to call from many threads; the machine's database is used under one
// lock. Its commits are noticed through the WAL index's header and confirmed with SQLite's data
// version, so a request always sees the metabase (and the accounts and permissions) as the last
// commit left them, without the metabase being read per request.
class WebService final : public Handler {
public:
    explicit WebService(emulation::machine::Machine& machine);
    ~WebService() override;

    // The current state, read afresh when the machine's database changed since the last look.
    std::shared_ptr<const Snapshot> current();

    Response handle(const Request& request) override;
    Response reject(const Request& request, int status, const char* reason) override;
    void sent(Response& response, std::uint64_t bytesSent, std::uint32_t timeTakenMs) override;
    std::uint32_t connectionTimeout() override;

    // Records a request in the central binary log or the site's own W3C log.
    void log(const iislog::LogRecord& record, bool central, const QString& directory);
    void flushLogs();

    // The machine's IPv4 addresses, in the order of its facts.
    QStringList machineAddresses();

private:
    std::shared_ptr<const Snapshot> reload();
    std::optional<QString> logon(const Snapshot& snap, const Site& site);
    std::optional<QString> logonOnce(const Snapshot& snap, const Site& site);
    std::uint32_t rightsOf(const Snapshot& snap, const QString& sid, const emulation::files::WinPath& path);
    std::uint32_t rightsOnce(const Snapshot& snap, const QString& sid, const emulation::files::WinPath& path);

    emulation::machine::Machine& m_machine;
    std::mutex m_dbLock; // the machine's database and the members below
    CommitFollower<Snapshot> m_state;
    std::uint64_t m_generation = 0;
    StaticFiles m_files;
    W3cSiteLogs m_siteLogs;
    CentralRequestLog m_centralLog;
    HttpErrorLog m_errorLog;
};

} // namespace w3svc
