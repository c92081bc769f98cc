#include "emulation/w3svc/WebService.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/accounts/Security.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/machine/MachineInfo.h"
#include "emulation/w3svc/UrlPath.h"

#include <QDateTime>
#include <QFile>

#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

namespace {

// Windows error numbers that IIS logs as sc-win32-status.
constexpr std::uint32_t FileNotFound = 2;
constexpr std::uint32_t AccessDenied = 5;
constexpr std::uint32_t LogonFailure = 1326;
constexpr std::uint32_t UfAccountDisable = 0x2;

// HTTP.sys names itself in the answers it gives without IIS: no site, a paused site, no service.
constexpr char HttpApi[] = "Microsoft-HTTPAPI/1.0";

std::string httpDate(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

// An HTTP date (RFC 1123, as browsers send If-Modified-Since); -1 when it is none.
std::time_t parseHttpDate(const std::string& text) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (!end)
        return -1;
    return timegm(&tm);
}

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};
enum class RangeResult { Whole, Part, Unsatisfiable };

// One "bytes=a-b", "bytes=a-" or "bytes=-n" range; several ranges or another unit get the whole file.
RangeResult parseRange(const std::string& header, std::uint64_t size, ByteRange& out) {
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos)
        return RangeResult::Whole;
    const std::string spec = header.substr(6);
    const size_t dash = spec.find('-');
    if (dash == std::string::npos)
        return RangeResult::Whole;
    const std::string a = spec.substr(0, dash), b = spec.substr(dash + 1);
    auto number = [](const std::string& s, std::uint64_t& n) {
        if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
            return false;
        n = std::stoull(s);
        return true;
    };
    std::uint64_t x = 0, y = 0;
    if (a.empty()) {
        if (!number(b, y))
            return RangeResult::Whole;
        if (y == 0 || size == 0)
            return RangeResult::Unsatisfiable;
        out = {y >= size ? 0 : size - y, size - 1};
        return RangeResult::Part;
    }
    if (!number(a, x) || (!b.empty() && !number(b, y)))
        return RangeResult::Whole;
    if (!b.empty() && y < x)
        return RangeResult::Whole;
    if (x >= size)
        return RangeResult::Unsatisfiable;
    out = {x, b.empty() || y >= size ? size - 1 : y};
    return RangeResult::Part;
}

void fail(Response& r, int status, int substatus, std::uint32_t win32) {
    r.status = status;
    r.substatus = substatus;
    r.win32Status = win32;
    r.contentType = "text/html";
    r.body = errorPage(status, substatus);
}

} // namespace

std::shared_ptr<const FolderIndex::Names> FolderIndex::names(const std::string& folder,
                                                             const struct stat* known) {
    struct stat info {};
    if (known)
        info = *known;
    else if (::stat(folder.c_str(), &info) != 0)
        return nullptr;
    if (!S_ISDIR(info.st_mode))
        return nullptr;
    std::lock_guard lock(m_lock);
    if (m_folders.size() > 4096)
        m_folders.clear();
    Folder& f = m_folders[folder];
    if (!f.names || f.modified.tv_sec != info.st_mtim.tv_sec || f.modified.tv_nsec != info.st_mtim.tv_nsec) {
        auto names = std::make_shared<Names>();
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string n = entry->d_name;
                if (n != "." && n != "..")
                    names->insert(QString::fromUtf8(n).toLower(), n);
            }
            ::closedir(dir);
        }
        f.names = std::move(names);
        f.modified = info.st_mtim;
    }
    return f.names;
}

std::optional<std::string> FolderIndex::find(const std::string& folder, const QString& name) {
    const auto list = names(folder);
    if (!list)
        return std::nullopt;
    const auto it = list->constFind(name.toLower());
    if (it == list->constEnd())
        return std::nullopt;
    return *it;
}

std::string errorPage(int status, int substatus) {
    // HTTP.sys answers these itself, with its own short bodies.
    if (status == 400 && substatus == 0)
        return "<h1>Bad Request (Invalid Hostname)</h1>";
    if (status == 503)
        return "<h1>Service Unavailable</h1>";
    struct Page {
        int status, substatus;
        const char* title;
        const char* reason;
    };
    static const Page pages[] = {
        {401, 1, "您未被授权查看该页", "HTTP 错误 401.1 - 未经授权：访问由于凭据无效被拒绝。"},
        {401, 3, "您未被授权查看该页", "HTTP 错误 401.3 - 未经授权：访问由于 ACL 对所请求资源的设置被拒绝。"},
        {403, 2, "您无权查看该网页", "HTTP 错误 403.2 - 禁止访问：读访问被拒绝。"},
        {403, 14, "目录列表被拒绝", "HTTP 错误 403.14 - 禁止访问：此虚拟目录不允许列出内容。"},
        {404, 0, "无法找到该页", "HTTP 错误 404 - 文件或目录未找到。"},
        {404, 3, "无法找到该页", "HTTP 错误 404.3 - 找不到：MIME 映射策略阻止了此请求。"},
        {405, 0, "不能显示该页", "HTTP 错误 405 - 用于访问该页的 HTTP 动作未被许可。"},
        {416, 0, "请求的范围无法满足", "HTTP 错误 416 - 请求的范围无法满足。"},
    };
    for (const Page& p : pages)
        if (p.status == status && p.substatus == substatus)
            return std::string("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                               "charset=utf-8\"><title>") +
                   p.title + "</title></head><body><h1>" + p.title + "</h1><p>" + p.reason +
                   "<br>Internet 信息服务 (IIS)</p></body></html>";
    return "<html><body><h1>HTTP " + std::to_string(status) + "</h1></body></html>";
}

WebService::WebService(emulation::machine::Machine& machine)
    : m_machine(machine), m_commits(machine.folder() + u"/machine.db"_s),
      m_siteLogs([&machine](const QString& folder) { return machine.hostPath(folder); }),
      m_centralLog([&machine](const QString& folder) { return machine.hostPath(folder); }) {}

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
    // A request must see every commit made before it arrived. Without a commit since the last
    // check the WAL index's header is as that check found it, and the state read then still holds.
    const std::uint64_t now = m_commits.stamp();
    if (now != 0 && now == m_checkedStamp.load(std::memory_order_acquire))
        if (auto snap = m_current.load(std::memory_order_acquire))
            return snap;
    std::lock_guard lock(m_dbLock);
    const std::uint64_t before = m_commits.stamp(); // a commit after this is noticed next time
    std::int64_t version = -1;
    {
        auto st = m_machine.db().prepare("PRAGMA data_version");
        if (st.step())
            version = st.number(0);
    }
    if (!m_snapshot || version != m_dataVersion) {
        m_dataVersion = version;
        m_snapshot = reload();
    }
    m_current.store(m_snapshot, std::memory_order_release);
    m_checkedStamp.store(before, std::memory_order_release);
    return m_snapshot;
}

std::shared_ptr<const Snapshot> WebService::reload() {
    emulation::machine::Database::ReadScope scope(m_machine.db());
    auto snap = std::make_shared<Snapshot>();
    snap->table = SiteTable::read(m_machine.db());
    snap->running = m_machine.fact(u"service.w3svc"_s) != u"stopped"_s &&
                    m_machine.fact(u"service.iisadmin"_s) != u"stopped"_s;
    snap->resetCount = m_machine.fact(u"iisreset.count"_s);
    snap->generation = ++m_generation;
    if (snap->table->centralBinaryLogging())
        m_centralLog.prepare(snap->table->logFileDirectory(), QDateTime::currentMSecsSinceEpoch());
    return snap;
}

std::optional<QString> WebService::logon(const Snapshot& snap, const Site& site) {
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
    const QString key = sid + u'\n' + path.toString().toLower();
    {
        std::shared_lock lock(snap.cacheLock);
        const auto it = snap.rights.constFind(key);
        if (it != snap.rights.constEnd())
            return *it;
    }
    std::uint32_t granted = 0;
    {
        std::lock_guard lock(m_dbLock);
        granted = m_machine.files().rightsOf(sid, path);
    }
    std::unique_lock lock(snap.cacheLock);
    if (snap.rights.size() >= 100000) // bounded: a state may last long on a large server
        snap.rights.clear();
    snap.rights.insert(key, granted);
    return granted;
}

Response WebService::handle(const Request& rq) {
    const auto snap = current();
    Response r;
    r.headers.emplace_back("Server", "Microsoft-IIS/6.0");
    r.headers.emplace_back("Date", httpDate(std::time(nullptr)));
    r.headOnly = rq.method == "HEAD";

    const size_t q = rq.target.find('?');
    const std::string rawPath = rq.target.substr(0, q);
    const std::string query = q == std::string::npos ? std::string() : rq.target.substr(q + 1);
    LogEntry& e = r.entry;
    e.timeMs = QDateTime::currentMSecsSinceEpoch();
    e.clientIp = rq.clientIp;
    e.serverIp = rq.address.isEmpty() ? rq.localIp : rq.address;
    e.serverPort = rq.port;
    e.method = QString::fromStdString(rq.method);
    e.uriStem = QString::fromUtf8(rawPath);
    e.uriQuery = QString::fromUtf8(query);
    e.protocolVersion = QString::fromStdString(rq.version);
    e.host = QString::fromUtf8(rq.host);
    e.userAgent = QString::fromUtf8(rq.userAgent);
    e.cookie = QString::fromUtf8(rq.cookie);
    e.referrer = QString::fromUtf8(rq.referer);
    e.bytesReceived = rq.bytesReceived;

    if (!snap->running) {
        fail(r, 503, 0, 0);
        r.headers.front().second = HttpApi;
        return r;
    }
    // The Host header without its port ("www.example.com:8080", "[::1]:80").
    QString host = QString::fromUtf8(rq.host);
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon >= 0 && host.indexOf(u']', colon) < 0)
        host.truncate(colon);
    const Site* site = snap->table->match(rq.address, rq.port, host);
    if (!site) {
        fail(r, 400, 0, 0);
        r.headers.front().second = HttpApi;
        return r;
    }
    r.log = site->logging;
    r.centralLog = snap->table->centralBinaryLogging();
    e.siteId = site->id;
    // The central log is the service's, in the service's log folder.
    e.logFileDirectory = r.centralLog ? snap->table->logFileDirectory() : site->logFileDirectory;
    if (site->state == state::Paused) {
        fail(r, 503, 0, 0);
        r.headers.front().second = HttpApi;
        return r;
    }
    if (!site->redirect.isEmpty()) {
        // "destination[, EXACT_DESTINATION][, PERMANENT | TEMPORARY | CHILD_ONLY]"
        const QStringList parts = site->redirect.split(u',');
        QString location = parts.first().trimmed();
        bool exact = false;
        r.status = 302;
        for (const QString& flag : parts.mid(1)) {
            const QString f = flag.trimmed().toUpper();
            if (f == u"EXACT_DESTINATION"_s)
                exact = true;
            else if (f == u"PERMANENT"_s)
                r.status = 301;
            else if (f == u"TEMPORARY"_s)
                r.status = 307;
        }
        const QString path = QString::fromUtf8(rawPath);
        const QString qs = QString::fromUtf8(query);
        if (location.contains(u'$')) {
            // One pass, so that a "$Q" in the request's own path stays text.
            QString built;
            for (qsizetype i = 0; i < location.size(); ++i) {
                const QChar next = i + 1 < location.size() ? location[i + 1].toUpper() : QChar();
                if (location[i] != u'$' || (next != u'S' && next != u'V' && next != u'Q' && next != u'P')) {
                    built += location[i];
                    continue;
                }
                if (next == u'S' || next == u'V')
                    built += path;
                else if (next == u'Q')
                    built += qs.isEmpty() ? QString() : u'?' + qs;
                else
                    built += qs;
                ++i;
            }
            location = built;
        } else if (!exact) {
            if (location.endsWith(u'/'))
                location.chop(1);
            location += path;
        }
        r.headers.emplace_back("Location", location.toStdString());
        r.contentType = "text/html";
        r.body = "<head><title>文档已移动</title></head>\n<body><h1>对象已移动</h1>可以在<a HREF=\"" +
                 location.toStdString() + "\">此处</a>找到该文档</body>";
        return r;
    }
    if (rq.method != "GET" && rq.method != "HEAD") {
        fail(r, 405, 0, 1);
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    Response served = serveFile(rq, *snap, *site, rawPath, query);
    served.headers.insert(served.headers.begin(), r.headers.begin(), r.headers.end());
    served.headOnly = r.headOnly;
    served.log = r.log;
    served.centralLog = r.centralLog;
    const QString stem = served.entry.uriStem; // decoded, when the path could be decoded
    served.entry = std::move(r.entry);
    if (!stem.isEmpty())
        served.entry.uriStem = stem;
    return served;
}

Response WebService::serveFile(const Request& rq, const Snapshot& snap, const Site& site,
                               const std::string& rawPath, const std::string& query) {
    Response r;
    const auto url = decodeUrlPath(rawPath);
    if (!url || !site.root.valid()) {
        fail(r, 404, 0, FileNotFound);
        return r;
    }
    QString stem = u'/' + url->names.join(u'/');
    if (url->endsInSlash && !url->names.isEmpty())
        stem += u'/';
    r.entry.uriStem = stem;
    if (!site.accessRead) {
        fail(r, 403, 2, AccessDenied);
        return r;
    }
    const auto sid = logon(snap, site);
    if (!sid) {
        fail(r, 401, 1, LogonFailure);
        return r;
    }

    // The file on this computer: the names as written first, else matched without regard to case.
    emulation::files::WinPath path = site.root;
    path.names += url->names;
    struct stat info {};
    auto locate = [&](const emulation::files::WinPath& p, std::string& file) {
        std::string folder = QFile::encodeName(m_machine.drivesFolder() + u'/' + p.drive).toStdString();
        file = folder;
        for (const QString& name : p.names)
            file += '/' + name.toStdString();
        if (::stat(file.c_str(), &info) == 0)
            return true;
        for (const QString& name : p.names) {
            const auto stored = m_folders.find(folder, name);
            if (!stored)
                return false;
            folder += '/' + *stored;
        }
        file = folder;
        return ::stat(file.c_str(), &info) == 0;
    };
    std::string file;
    if (!locate(path, file)) {
        fail(r, 404, 0, FileNotFound);
        return r;
    }
    if (S_ISDIR(info.st_mode)) {
        if (!url->endsInSlash) {
            const std::string authority =
                rq.host.empty() ? rq.localIp.toStdString() + ':' + std::to_string(rq.listenPort) : rq.host;
            r.status = 301;
            r.headers.emplace_back("Location", "http://" + authority + rawPath + '/' +
                                                   (query.empty() ? std::string() : '?' + query));
            r.contentType = "text/html";
            r.body = "<head><title>文档已移动</title></head>\n<body><h1>对象已移动</h1></body>";
            return r;
        }
        // The first default document that is there; that it is a file is checked when it is opened.
        bool found = false;
        const auto names = site.enableDefaultDoc ? m_folders.names(file, &info) : nullptr;
        if (names)
            for (const QString& doc : *site.defaultDocs) {
                const auto stored = names->constFind(doc.toLower());
                if (stored != names->constEnd()) {
                    file += '/' + *stored;
                    path.names << doc;
                    found = true;
                    break;
                }
            }
        if (!found) {
            fail(r, 403, 14, AccessDenied);
            return r;
        }
    } else if (!S_ISREG(info.st_mode)) {
        fail(r, 404, 0, FileNotFound);
        return r;
    }

    const QString name = path.names.isEmpty() ? QString() : path.names.last();
    const qsizetype dot = name.lastIndexOf(u'.');
    const auto mime = snap.table->mimeType(site, dot < 0 ? u"."_s : name.mid(dot));
    if (!mime) {
        fail(r, 404, 3, 50);
        return r;
    }
    if (!(rightsOf(snap, *sid, path) & emulation::accounts::rights::ReadData)) {
        fail(r, 401, 3, AccessDenied);
        return r;
    }

    const auto content = m_files.read(file);
    if (!content) {
        fail(r, 404, 0, FileNotFound);
        return r;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(content->size);
    const std::time_t modified = content->modified;
    r.contentType = mime->toStdString();
    r.headers.emplace_back("Last-Modified", httpDate(modified));
    r.headers.emplace_back("Accept-Ranges", "bytes");
    // IIS's ETag: the file time as a Windows FILETIME in hex, and the change number.
    const auto filetime = (static_cast<std::uint64_t>(modified) + 11644473600ull) * 10000000ull;
    char etag[40];
    std::snprintf(etag, sizeof etag, "\"%llx:0\"", static_cast<unsigned long long>(filetime));
    r.headers.emplace_back("ETag", etag);

    if (!rq.ifModifiedSince.empty()) {
        const std::time_t since = parseHttpDate(rq.ifModifiedSince);
        if (since >= 0 && modified <= since) {
            r.status = 304;
            return r;
        }
    }
    ByteRange range;
    const RangeResult ranged = rq.range.empty() ? RangeResult::Whole : parseRange(rq.range, size, range);
    if (ranged == RangeResult::Unsatisfiable) {
        fail(r, 416, 0, 0);
        r.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return r;
    }
    if (ranged != RangeResult::Part)
        range = {0, size == 0 ? 0 : size - 1};
    const std::uint64_t length = size == 0 ? 0 : range.last - range.first + 1;
    if (ranged == RangeResult::Part) {
        r.status = 206;
        r.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + '-' +
                                                    std::to_string(range.last) + '/' + std::to_string(size));
    }
    if (size > FileContents::MaxCachedFile) {
        r.streamFile = file;
        r.streamOffset = range.first;
        r.streamLength = length;
    } else {
        r.body = content->bytes.substr(range.first, length);
    }
    return r;
}

std::shared_ptr<const FileContents::File> FileContents::read(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    auto same = [&](const File& f) {
        return f.device == info.st_dev && f.inode == info.st_ino && f.size == info.st_size &&
               f.modifiedNs == info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec;
    };
    {
        std::lock_guard lock(m_lock);
        const auto it = m_files.find(path);
        if (it != m_files.end() && same(*it->second))
            return it->second;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto file = std::make_shared<File>();
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    file->device = info.st_dev;
    file->inode = info.st_ino;
    file->size = info.st_size;
    file->modifiedNs = info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec;
    file->modified = info.st_mtim.tv_sec;
    if (static_cast<size_t>(info.st_size) > MaxCachedFile) {
        ::close(fd);
        return file;
    }
    file->bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < file->bytes.size()) {
        const ssize_t n =
            ::pread(fd, file->bytes.data() + done, file->bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    file->bytes.resize(done);
    file->size = static_cast<off_t>(done);
    // Small files are kept while they stay as they are; the cache is emptied when it grows too big.
    {
        std::lock_guard lock(m_lock);
        auto& slot = m_files[path];
        if (slot)
            m_cachedBytes -= slot->bytes.size();
        if (m_cachedBytes + file->bytes.size() > MaxCachedBytes) {
            m_files.clear();
            m_cachedBytes = 0;
        }
        m_files[path] = file;
        m_cachedBytes += file->bytes.size();
    }
    return file;
}

void WebService::log(const LogEntry& entry, bool central) {
    if (central)
        m_centralLog.write(entry);
    else
        m_siteLogs.write(entry);
}

void WebService::flushLogs() {
    m_siteLogs.flush();
    m_centralLog.flush();
}

} // namespace w3svc
