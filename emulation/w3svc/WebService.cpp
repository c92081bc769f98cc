#include "emulation/w3svc/WebService.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/machine/MachineInfo.h"
#include "emulation/w3svc/ErrorPages.h"
#include "emulation/w3svc/HostHeader.h"
#include "emulation/w3svc/HttpDate.h"
#include "emulation/w3svc/Redirects.h"

#include <QDateTime>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <iterator>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr std::uint32_t LogonFailure = 1326;
constexpr std::uint32_t UfAccountDisable = 0x2;

// The methods HTTP.sys knows; a static file takes GET and HEAD, the others get 405, and a method
// outside the list 501.
bool knownMethod(const std::string& m) {
    static const char* const known[] = {"GET",       "HEAD",  "POST",    "PUT",    "DELETE", "OPTIONS",
                                        "TRACE",     "TRACK", "CONNECT", "MOVE",   "COPY",   "PROPFIND",
                                        "PROPPATCH", "MKCOL", "LOCK",    "UNLOCK", "SEARCH"};
    return std::any_of(std::begin(known), std::end(known), [&](const char* k) { return m == k; });
}

// An answer HTTP.sys gives itself, logged in its error log.
void httpApiAnswer(Response& r, int status, const char* reason) {
    r.status = status;
    r.substatus = 0;
    r.contentType = "text/html";
    r.body = httpApiPage(status, reason);
    r.headers.front().second = HttpApiServer;
    r.httpApiReason = reason;
    r.log = false;
}

// What the log knows of a request before it is answered.
void startRecord(iislog::LogRecord& e, const Request& rq) {
    e.timeMs = QDateTime::currentMSecsSinceEpoch();
    e.clientIp = rq.clientIp;
    e.serverIp = rq.address.isEmpty() ? rq.localIp : rq.address;
    e.serverPort = rq.port;
    e.method = QString::fromStdString(rq.method);
    e.protocolVersion = QString::fromStdString(rq.version);
    e.bytesReceived = rq.bytesReceived;
}

// What a thread last looked up in one state: the same request again (a keep-alive client asks for
// the same page over and over) takes the answer without building keys or taking locks. A state's
// lookups never change while it holds, and its serial is never used again.
struct LastSite {
    std::uint64_t serial = 0;
    QString address;
    std::uint16_t port = 0;
    std::string host;
    const Site* site = nullptr;
};
struct LastLogon {
    std::uint64_t serial = 0;
    const Site* site = nullptr;
    std::optional<QString> sid;
};
struct LastRights {
    std::uint64_t serial = 0;
    QString sid;
    emulation::files::WinPath path;
    std::uint32_t granted = 0;
};
thread_local LastSite t_lastSite;
thread_local LastLogon t_lastLogon;
thread_local LastRights t_lastRights;

} // namespace

WebService::WebService(emulation::machine::Machine& machine)
    : m_machine(machine), m_state(machine.folder() + u"/machine.db"_s), m_files(machine.drivesFolder()),
      m_siteLogs([&machine](const QString& folder) { return machine.hostPath(folder); }),
      m_centralLog([&machine](const QString& folder) { return machine.hostPath(folder); }),
      m_errorLog([&machine](const QString& path) { return machine.hostPath(path); }) {}

WebService::~WebService() {
    flushLogs();
}

QStringList WebService::machineAddresses() {
    std::lock_guard lock(m_dbLock);
    QStringList out;
    for (const QStringList& adapter :
         emulation::machine::MachineInfo::parseAddresses(m_machine.fact(u"addresses"_s)))
        for (const QString& a : adapter)
            if (!out.contains(a))
                out << a;
    return out;
}

std::shared_ptr<const Snapshot> WebService::current() {
    // A request must see every commit made before it arrived.
    return m_state.current(m_dbLock, m_machine.db(), [this] { return reload(); });
}

std::shared_ptr<const Snapshot> WebService::reload() {
    emulation::machine::Database::ReadScope scope(m_machine.db());
    auto snap = std::make_shared<Snapshot>();
    snap->table = SiteTable::read(m_machine.db());
    snap->running = m_machine.fact(u"service.w3svc"_s) != u"stopped"_s &&
                    m_machine.fact(u"service.iisadmin"_s) != u"stopped"_s;
    snap->resetCount = m_machine.fact(u"iisreset.count"_s);
    snap->generation = ++m_generation;
    static std::atomic<std::uint64_t> serials{0};
    snap->serial = ++serials;
    if (snap->table->centralBinaryLogging())
        m_centralLog.prepare(snap->table->logFileDirectory(), QDateTime::currentMSecsSinceEpoch());
    return snap;
}

std::optional<QString> WebService::logon(const Snapshot& snap, const Site& site) {
    LastLogon& last = t_lastLogon;
    if (last.serial == snap.serial && last.site == &site)
        return last.sid;
    const std::optional<QString> sid = logonOnce(snap, site);
    last.serial = snap.serial;
    last.site = &site;
    last.sid = sid;
    return sid;
}

std::optional<QString> WebService::logonOnce(const Snapshot& snap, const Site& site) {
    const QString key = site.anonymousUser + u'\n' + site.anonymousPass;
    {
        std::shared_lock lock(snap.cacheLock);
        const auto it = snap.logons.constFind(key);
        if (it != snap.logons.constEnd())
            return it->isEmpty() ? std::nullopt : std::optional(*it);
    }
    QString sid;
    {
        std::lock_guard lock(m_dbLock);
        auto& accounts = m_machine.accounts();
        const auto who = accounts.lookup(site.anonymousUser);
        if (who && who->isUser() && !(who->flags & UfAccountDisable) &&
            accounts.checkPassword(who->name, site.anonymousPass))
            sid = who->sid;
    }
    std::unique_lock lock(snap.cacheLock);
    snap.logons.insert(key, sid);
    return sid.isEmpty() ? std::nullopt : std::optional(sid);
}

std::uint32_t WebService::rightsOf(const Snapshot& snap, const QString& sid,
                                   const emulation::files::WinPath& path) {
    LastRights& last = t_lastRights;
    if (last.serial == snap.serial && last.path.drive == path.drive && last.path.names == path.names &&
        last.sid == sid)
        return last.granted;
    const std::uint32_t granted = rightsOnce(snap, sid, path);
    last.serial = snap.serial;
    last.sid = sid;
    last.path = path;
    last.granted = granted;
    return granted;
}

std::uint32_t WebService::rightsOnce(const Snapshot& snap, const QString& sid,
                                     const emulation::files::WinPath& path) {
    return snap.rights.get(sid, path, [&] {
        std::lock_guard lock(m_dbLock);
        return m_machine.files().rightsOf(sid, path);
    });
}

Response WebService::handle(const Request& rq) {
    const auto snap = current();
    Response r;
    r.headers.reserve(6);
    r.headers.emplace_back("Server", IisServer);
    r.headers.emplace_back("Date", httpDate(std::time(nullptr)));
    r.headOnly = rq.method == "HEAD";

    // An absolute-form target's host wins over the Host field (RFC 9112 3.2.2).
    std::string target = rq.target, authorityText = rq.host;
    if (const auto absolute = splitAbsoluteTarget(rq.target)) {
        target = absolute->originForm;
        authorityText = absolute->authority;
    }
    const size_t q = target.find('?');
    const std::string rawPath = target.substr(0, q);
    const std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
    iislog::LogRecord& e = r.entry;
    startRecord(e, rq);
    e.uriStem = QString::fromUtf8(rawPath);
    e.uriQuery = QString::fromUtf8(query);
    e.host = QString::fromUtf8(rq.host);
    e.userAgent = QString::fromUtf8(rq.userAgent);
    e.cookie = QString::fromUtf8(rq.cookie);
    e.referrer = QString::fromUtf8(rq.referer);

    if (rawPath.empty() || rawPath.front() != '/') {
        httpApiAnswer(r, 400, "BadRequest");
        return r;
    }
    // The host is matched as sent, never percent-decoded; one that is no host is refused.
    const auto authority = parseAuthority(authorityText);
    if (!authority) {
        httpApiAnswer(r, 400, "Hostname");
        return r;
    }
    if (!snap->running) {
        httpApiAnswer(r, 503, "N/A");
        return r;
    }
    LastSite& last = t_lastSite;
    if (last.serial != snap->serial || last.port != rq.port || last.host != authority->host ||
        last.address != rq.address) {
        last.site = snap->table->match(rq.address, rq.port, QString::fromStdString(authority->host));
        last.serial = snap->serial;
        last.address = rq.address;
        last.port = rq.port;
        last.host = authority->host;
    }
    const Site* site = last.site;
    if (!site) {
        httpApiAnswer(r, 400, "Hostname");
        return r;
    }
    r.log = site->logging;
    r.centralLog = snap->table->centralBinaryLogging();
    e.siteId = site->id;
    // The central log is the service's, in the service's log folder.
    r.logFileDirectory = r.centralLog ? snap->table->logFileDirectory() : site->logFileDirectory;
    if (site->state == state::Paused) {
        fail(r, 503, 0, 0);
        r.headers.front().second = HttpApiServer;
        return r;
    }
    if (!site->redirect.isEmpty()) {
        const Redirect moved = redirectOf(site->redirect, rawPath, query);
        r.status = moved.status;
        r.headers.emplace_back("Location", moved.location);
        r.contentType = "text/html";
        r.body = movedBody(moved.location);
        return r;
    }
    if (!knownMethod(rq.method)) {
        fail(r, 501, 0, 1);
        return r;
    }
    if (rq.method != "GET" && rq.method != "HEAD") {
        fail(r, 405, 0, 1);
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (!site->root.valid()) {
        fail(r, 404, 0, 2);
        return r;
    }
    if (!site->accessRead) {
        fail(r, 403, 2, 5);
        return r;
    }
    const auto sid = logon(*snap, *site);
    if (!sid) {
        fail(r, 401, 1, LogonFailure);
        return r;
    }
    FileRequest file;
    file.rawPath = rawPath;
    file.query = query;
    file.authority = authority->text.empty() ? rq.localIp.toStdString() + ':' + std::to_string(rq.listenPort)
                                             : authority->text;
    file.range = rq.range;
    file.ifModifiedSince = rq.ifModifiedSince;
    file.ifNoneMatch = rq.ifNoneMatch;
    struct Asker {
        WebService& service;
        const Snapshot& snap;
        const QString& sid;
    } asker{*this, *snap, *sid};
    // One reference captured: the check fits in the function object without a heap block.
    Response served =
        m_files.serve(file, *snap->table, *site, [&asker](const emulation::files::WinPath& path) {
            return asker.service.rightsOf(asker.snap, asker.sid, path);
        });
    // The service's headers first, then the handler's.
    r.headers.reserve(r.headers.size() + served.headers.size());
    std::move(served.headers.begin(), served.headers.end(), std::back_inserter(r.headers));
    served.headers = std::move(r.headers);
    served.headOnly = r.headOnly;
    served.log = r.log;
    served.centralLog = r.centralLog;
    served.logFileDirectory = std::move(r.logFileDirectory);
    const QString stem = served.entry.uriStem; // decoded, when the path could be decoded
    served.entry = std::move(r.entry);
    if (!stem.isEmpty())
        served.entry.uriStem = stem;
    return served;
}

Response WebService::reject(const Request& rq, int status, const char* reason) {
    Response r;
    r.headers.emplace_back("Server", HttpApiServer);
    r.headers.emplace_back("Date", httpDate(std::time(nullptr)));
    httpApiAnswer(r, status, reason);
    r.close = true;
    startRecord(r.entry, rq);
    r.entry.uriStem = QString::fromUtf8(rq.target);
    return r;
}

void WebService::sent(Response& r, std::uint64_t bytesSent, std::uint32_t timeTakenMs) {
    iislog::LogRecord& e = r.entry;
    e.status = static_cast<quint16>(r.status);
    e.substatus = static_cast<quint16>(r.substatus);
    e.win32Status = r.win32Status;
    e.bytesSent = bytesSent;
    e.timeTaken = timeTakenMs;
    if (r.log) {
        log(e, r.centralLog, r.logFileDirectory);
    } else if (!r.httpApiReason.empty()) {
        HttpErrorLog::Entry err;
        err.timeMs = e.timeMs;
        err.clientIp = e.clientIp;
        err.serverIp = e.serverIp;
        err.serverPort = e.serverPort;
        err.version = e.protocolVersion.toStdString();
        err.method = e.method.toStdString();
        err.uri =
            e.uriStem.toStdString() + (e.uriQuery.isEmpty() ? std::string() : '?' + e.uriQuery.toStdString());
        err.status = r.status;
        err.siteId = e.siteId;
        err.reason = r.httpApiReason;
        m_errorLog.write(err);
    }
}

std::uint32_t WebService::connectionTimeout() {
    return current()->table->connectionTimeout();
}

void WebService::log(const iislog::LogRecord& record, bool central, const QString& directory) {
    if (central)
        m_centralLog.write(record, directory);
    else
        m_siteLogs.write(record, directory);
}

void WebService::flushLogs() {
    m_siteLogs.flush();
    m_centralLog.flush();
    m_errorLog.flush();
}

} // namespace w3svc
