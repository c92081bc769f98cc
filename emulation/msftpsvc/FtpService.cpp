#include "emulation/msftpsvc/FtpService.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/w3svc/W3cFile.h"

#include <QDateTime>
#include <QFile>

#include <climits>
#include <cstdlib>

#include <sys/stat.h>

namespace msftpsvc {

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr std::uint32_t UfAccountDisable = 0x2;
constexpr std::uint32_t UfLockout = 0x10;

std::string realPathOf(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool within(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              path[folder.size()] == '/');
}

} // namespace

FtpService::FtpService(emulation::machine::Machine& machine)
    : m_machine(machine), m_state(machine.folder() + u"/machine.db"_s),
      m_realDrives(realPathOf(QFile::encodeName(machine.drivesFolder()).toStdString())),
      m_logs([&machine](const QString& folder) { return machine.hostPath(folder); }, u"MSFTPSVC"_s,
             &FtpService::logHeader) {}

FtpService::~FtpService() {
    flushLogs();
}

std::shared_ptr<const FtpSnapshot> FtpService::current() {
    return m_state.current(m_dbLock, m_machine.db(), [this] { return reload(); });
}

std::shared_ptr<const FtpSnapshot> FtpService::reload() {
    emulation::machine::Database::ReadScope scope(m_machine.db());
    auto snap = std::make_shared<FtpSnapshot>();
    snap->table = FtpSiteTable::read(m_machine.db());
    snap->running = m_machine.fact(u"service.msftpsvc"_s) != u"stopped"_s &&
                    m_machine.fact(u"service.iisadmin"_s) != u"stopped"_s;
    snap->resetCount = m_machine.fact(u"iisreset.count"_s);
    snap->generation = ++m_generation;
    return snap;
}

std::optional<FtpAccount> FtpService::logon(const FtpSite& site, const QString& user,
                                            const QString& password) {
    FtpAccount account;
    account.user = user;
    QString name = user, secret = password;
    if (user.compare(u"anonymous"_s, Qt::CaseInsensitive) == 0 ||
        user.compare(u"ftp"_s, Qt::CaseInsensitive) == 0) {
        if (!site.allowAnonymous)
            return std::nullopt;
        // Any password (an e-mail address by custom) logs on as the site's anonymous user.
        account.anonymous = true;
        name = site.anonymousUser;
        secret = site.anonymousPass;
    } else if (site.anonymousOnly) {
        return std::nullopt;
    }
    std::lock_guard lock(m_dbLock);
    auto& accounts = m_machine.accounts();
    const auto who = accounts.lookup(name);
    if (!who || !who->isUser() || (who->flags & (UfAccountDisable | UfLockout)))
        return std::nullopt;
    // An account can be used through the last day before it expires.
    if (const auto expires = accounts.expiryOf(who->sid);
        expires && expires->isValid() && QDate::currentDate() > *expires)
        return std::nullopt;
    if (!accounts.checkPassword(who->name, secret))
        return std::nullopt;
    account.sid = who->sid;
    return account;
}

std::uint32_t FtpService::rightsOf(const FtpSnapshot& snap, const QString& sid,
                                   const emulation::files::WinPath& path) {
    return snap.rights.get(sid, path, [&] {
        std::lock_guard lock(m_dbLock);
        return m_machine.files().rightsOf(sid, path);
    });
}

std::string FtpService::hostPath(const Placement& placed) {
    auto& files = m_machine.files();
    const std::string host = QFile::encodeName(files.hostPath(placed.path)).toStdString();
    const std::string base = QFile::encodeName(files.hostPath(placed.dir->path)).toStdString();
    if (host.empty() || base.empty() || m_realDrives.empty())
        return {};
    // The folder of the virtual directory itself must lie on the drives, and whatever exists of
    // the path must stay inside that folder once every link on the way is followed.
    const std::string realBase = realPathOf(base);
    if (realBase.empty() || !within(realBase, m_realDrives))
        return {};
    std::string existing = host;
    struct stat st {};
    while (::lstat(existing.c_str(), &st) != 0) {
        const size_t slash = existing.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return {};
        existing.resize(slash);
    }
    const std::string realExisting = realPathOf(existing);
    if (realExisting.empty() || !within(realExisting, realBase))
        return {};
    return host;
}

void FtpService::forgetAces(const emulation::files::WinPath& path) {
    std::lock_guard lock(m_dbLock);
    m_machine.files().forgetAces(path);
}

void FtpService::moveAces(const emulation::files::WinPath& from, const emulation::files::WinPath& to) {
    std::lock_guard lock(m_dbLock);
    m_machine.files().moveAces(from, to);
}

QByteArray FtpService::logHeader(std::int64_t timeMs) {
    return w3svc::W3cSiteLogs::headerNaming(timeMs,
                                            "time c-ip cs-method cs-uri-stem sc-status sc-win32-status");
}

QByteArray FtpService::logLine(const FtpLogEntry& e) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC);
    QByteArray out = t.toString(u"hh:mm:ss "_s).toLatin1();
    w3svc::appendW3cField(out, e.clientIp);
    // The session's number in brackets before the command, as IIS writes it: "[3]USER".
    w3svc::appendW3cField(out, u'[' + QString::number(e.session) + u']' + e.method);
    w3svc::appendW3cField(out, e.uriStem);
    out += QByteArray::number(e.status) + ' ' + QByteArray::number(e.win32Status) + "\r\n";
    return out;
}

void FtpService::log(const FtpLogEntry& e) {
    m_logs.writeLine(e.siteId, e.timeMs, logLine(e), e.logFileDirectory);
}

void FtpService::flushLogs() {
    m_logs.flush();
}

bool FtpService::admit(std::uint32_t siteId, std::uint32_t maxConnections) {
    std::lock_guard lock(m_countLock);
    std::uint32_t& open = m_open[siteId];
    if (open >= maxConnections)
        return false;
    ++open;
    return true;
}

void FtpService::release(std::uint32_t siteId) {
    std::lock_guard lock(m_countLock);
    if (auto it = m_open.find(siteId); it != m_open.end() && it->second > 0 && --it->second == 0)
        m_open.erase(it);
}

} // namespace msftpsvc
