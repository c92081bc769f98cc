#pragma once

#include "emulation/files/WinPath.h"
#include "emulation/msftpsvc/FtpPath.h"
#include "emulation/msftpsvc/FtpSiteTable.h"
#include "emulation/w3svc/CommitWatch.h"
#include "emulation/w3svc/RightsCache.h"
#include "emulation/w3svc/W3cSiteLogs.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

namespace emulation::machine {
class Machine;
}

namespace msftpsvc {

// The FTP service's view of the machine at one moment.
struct FtpSnapshot {
    std::unique_ptr<FtpSiteTable> table;
    bool running = true;          // MSFTPSVC (and IIS Admin) is not stopped
    QString resetCount;           // changes with every iisreset
    std::uint64_t generation = 0; // counts the snapshots read

    // What the access checks found while this state holds.
    w3svc::RightsCache rights;
};

// Who a session is after its logon.
struct FtpAccount {
    QString user; // as the client sent it ("anonymous" for the anonymous user)
    QString sid;  // the Windows account the session acts as
    bool anonymous = false;
};

// What one FTP command did, for the site's log.
struct FtpLogEntry {
    std::uint32_t siteId = 0;
    QString logFileDirectory;
    std::int64_t timeMs = 0;
    QString clientIp;
    std::uint64_t session = 0;
    QString method; // "USER", "sent", "created", ...
    QString uriStem;
    int status = 0;
    std::uint32_t win32Status = 0;
};

// The machine's MSFTPSVC without the network: the sites as the metabase configures them, logons
// with the machine's accounts, the access check of a logged-on account on a path, the folders on
// this computer behind the virtual directories (never reaching out of them through a link), and
// the logs. Safe to call from many threads; the machine's database is used under one lock.
class FtpService {
public:
    explicit FtpService(emulation::machine::Machine& machine);
    ~FtpService();
    FtpService(const FtpService&) = delete;
    FtpService& operator=(const FtpService&) = delete;

    // The current state, read afresh when the machine's database changed since the last look.
    std::shared_ptr<const FtpSnapshot> current();

    // The account a user name and password log on as at a site; nullopt when the logon fails: an
    // unknown, disabled, locked-out or expired account, a wrong password, anonymous where the site
    // takes none, a named account where it takes only anonymous ones.
    std::optional<FtpAccount> logon(const FtpSite& site, const QString& user, const QString& password);
    // The file rights an account holds on a path.
    std::uint32_t rightsOf(const FtpSnapshot& snap, const QString& sid,
                           const emulation::files::WinPath& path);
    // The file on this computer behind a placed path; empty when it is not on the machine's
    // drives, or when a link on its way leads out of its virtual directory's folder.
    std::string hostPath(const Placement& placed);
    // The entries of a removed object go with it; a renamed one takes its own along.
    void forgetAces(const emulation::files::WinPath& path);
    void moveAces(const emulation::files::WinPath& from, const emulation::files::WinPath& to);

    void log(const FtpLogEntry& entry);
    void flushLogs();

    // How long the answer to a failed logon waits, so that guessing passwords is slow.
    std::uint32_t failedLogonDelayMs() const { return m_failedLogonDelayMs; }
    void setFailedLogonDelayMs(std::uint32_t ms) { m_failedLogonDelayMs = ms; }

    // Counts the sessions of a site: admit is false when MaxConnections are already open.
    bool admit(std::uint32_t siteId, std::uint32_t maxConnections);
    void release(std::uint32_t siteId);
    std::uint64_t nextSessionNumber() { return ++m_sessions; }

    static QByteArray logHeader(std::int64_t timeMs);
    static QByteArray logLine(const FtpLogEntry& entry);

private:
    std::shared_ptr<const FtpSnapshot> reload();

    emulation::machine::Machine& m_machine;
    std::mutex m_dbLock; // the machine's database and the members below
    w3svc::CommitFollower<FtpSnapshot> m_state;
    std::uint64_t m_generation = 0;
    std::string m_realDrives;
    w3svc::W3cSiteLogs m_logs;
    std::atomic<std::uint32_t> m_failedLogonDelayMs{1000};
    std::mutex m_countLock;
    std::map<std::uint32_t, std::uint32_t> m_open; // site -> sessions
    std::atomic<std::uint64_t> m_sessions{0};
};

} // namespace msftpsvc
