#include "emulation/w3svc/StaticFiles.h"

#include "emulation/accounts/Security.h"
#include "emulation/w3svc/ByteRanges.h"
#include "emulation/w3svc/ErrorPages.h"
#include "emulation/w3svc/HttpDate.h"
#include "emulation/w3svc/UrlPath.h"

#include <QFile>

#include <climits>
#include <cstdlib>

#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

namespace {

// Windows error numbers that IIS logs as sc-win32-status.
constexpr std::uint32_t FileNotFound = 2;
constexpr std::uint32_t AccessDenied = 5;

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// The lower-case name of a site's i-th default document, as the folder index keys names.
QString docKey(const Site& site, qsizetype i) {
    if (site.defaultDocKeys && site.defaultDocKeys->size() == site.defaultDocs->size())
        return site.defaultDocKeys->at(i);
    return site.defaultDocs->at(i).toLower();
}

bool within(const std::string& path, const std::string& folder) {
    return !folder.empty() && path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

} // namespace

StaticFiles::StaticFiles(const QString& drivesFolder)
    : m_drives(QFile::encodeName(drivesFolder).toStdString()), m_realDrives(realPath(m_drives)) {
    if (!m_realDrives.empty())
        m_drivesFd = ::open(m_realDrives.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

StaticFiles::~StaticFiles() {
    if (m_drivesFd >= 0)
        ::close(m_drivesFd);
    if (m_watch >= 0)
        ::close(m_watch);
}

std::string etagOf(std::time_t modified) {
    const auto filetime = (static_cast<std::uint64_t>(modified) + 11644473600ull) * 10000000ull;
    char etag[40];
    std::snprintf(etag, sizeof etag, "\"%llx:0\"", static_cast<unsigned long long>(filetime));
    return etag;
}

bool noneMatchHits(const std::string& ifNoneMatch, const std::string& etag) {
    size_t at = 0;
    while (at < ifNoneMatch.size()) {
        size_t end = ifNoneMatch.find(',', at);
        if (end == std::string::npos)
            end = ifNoneMatch.size();
        std::string tag = ifNoneMatch.substr(at, end - at);
        const size_t b = tag.find_first_not_of(" \t"), e = tag.find_last_not_of(" \t");
        tag = b == std::string::npos ? std::string() : tag.substr(b, e - b + 1);
        if (tag.rfind("W/", 0) == 0)
            tag.erase(0, 2); // If-None-Match compares weakly
        if (tag == "*" || tag == etag)
            return true;
        at = end + 1;
    }
    return false;
}

std::optional<emulation::files::WinPath> StaticFiles::target(const std::string& hostPath,
                                                             const std::string& folder,
                                                             const emulation::files::WinPath& asNamed,
                                                             std::string& resolved) const {
    // Most paths hold no link: one walk of the kernel's that refuses any link says so.
    if (m_drivesFd >= 0 && within(hostPath, m_drives)) {
        const std::string relative = hostPath.substr(m_drives.size() + 1);
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, m_drivesFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) {
            ::close(static_cast<int>(fd));
            resolved = m_realDrives + '/' + relative;
            return asNamed;
        }
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        // ELOOP: a link on the way, checked below; ENOSYS or EPERM: a kernel without openat2.
    }
    resolved = realPath(hostPath);
    if (resolved.empty() || m_realDrives.empty() || !within(resolved, m_realDrives))
        return std::nullopt;
    const bool linked = hostPath.compare(0, m_drives.size(), m_drives) != 0 ||
                        resolved != m_realDrives + hostPath.substr(m_drives.size());
    if (!linked)
        return asNamed;
    const std::string realFolder = realPath(folder);
    if (resolved != realFolder && !within(resolved, realFolder))
        return std::nullopt;
    // The Windows path of what is really there: drive letter, then the names.
    const QString rest =
        QFile::decodeName(QByteArray::fromStdString(resolved.substr(m_realDrives.size() + 1)));
    QStringList names = rest.split(u'/', Qt::SkipEmptyParts);
    if (names.isEmpty() || names.first().size() != 1)
        return std::nullopt;
    emulation::files::WinPath path;
    path.drive = names.takeFirst().at(0).toUpper();
    path.names = names;
    return path;
}

std::string StaticFiles::homeFolder(const Site& site, bool again) {
    const emulation::files::WinPath& root = site.root;
    const std::string key = site.rootKey.empty() ? root.toString().toLower().toStdString() : site.rootKey;
    if (!again) {
        std::lock_guard lock(m_homesLock);
        const auto it = m_homes.find(key);
        if (it != m_homes.end())
            return it->second;
    }
    std::string folder = m_drives + '/' + QString(root.drive).toStdString();
    for (const QString& name : root.names) {
        const auto stored = m_folders.find(folder, name);
        if (!stored)
            return {};
        folder += '/' + *stored;
    }
    std::lock_guard lock(m_homesLock);
    if (m_homes.size() > 65536)
        m_homes.clear();
    m_homes[key] = folder;
    return folder;
}

bool StaticFiles::direct(const std::string& home, const UrlPath& url, const Site& site,
                         emulation::files::WinPath& path, std::string& resolved, struct stat& info) {
    if (m_drivesFd < 0 || !within(home, m_drives))
        return false;
    std::string relative = home.substr(m_drives.size() + 1);
    for (const QString& name : url.names) {
        relative += '/';
        relative += name.toStdString();
    }
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long opened = ::syscall(SYS_openat2, m_drivesFd, relative.c_str(), &how, sizeof how);
    if (opened < 0)
        return false;
    const int fd = static_cast<int>(opened);
    bool found = false;
    if (::fstat(fd, &info) == 0) {
        if (S_ISREG(info.st_mode)) {
            found = true;
        } else if (S_ISDIR(info.st_mode) && url.endsInSlash && site.enableDefaultDoc) {
            const auto names = m_folders.names(m_drives + '/' + relative, &info);
            if (names)
                for (qsizetype i = 0; i < site.defaultDocs->size(); ++i) {
                    const QString& doc = site.defaultDocs->at(i);
                    const auto stored = names->constFind(docKey(site, i));
                    if (stored == names->constEnd())
                        continue;
                    // The first one there decides; when it is no plain file the full search answers.
                    struct stat docInfo {};
                    if (::fstatat(fd, stored->c_str(), &docInfo, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISREG(docInfo.st_mode)) {
                        relative += '/';
                        relative += *stored;
                        path.names << doc;
                        info = docInfo;
                        found = true;
                    }
                    break;
                }
        }
    }
    ::close(fd);
    if (found)
        resolved = m_realDrives + '/' + relative;
    return found;
}

std::uint64_t StaticFiles::noticeChanges() {
    int watch = m_watch.load(std::memory_order_acquire);
    if (watch < 0) {
        std::lock_guard lock(m_foundLock);
        watch = m_watch.load(std::memory_order_relaxed);
        if (watch < 0 && !m_watchFailed) {
            watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            m_watchFailed = watch < 0;
            m_watch.store(watch, std::memory_order_release);
        }
        if (watch < 0)
            return 0;
    }
    // Every event counts, whatever it names: the queue overflowing, a watch ending, any entry of a
    // watched folder made, taken away or renamed. The round moves on before the events are taken
    // from the queue, so that a thread that finds the queue empty finds the new round too.
    int pending = 0;
    if (::ioctl(watch, FIONREAD, &pending) == 0 && pending > 0) {
        std::lock_guard lock(m_foundLock);
        m_round.fetch_add(1, std::memory_order_acq_rel);
        alignas(inotify_event) char events[4096];
        while (::read(watch, events, sizeof events) > 0) {
        }
        m_findings.clear();
    }
    return m_round.load(std::memory_order_acquire);
}

std::uint64_t StaticFiles::watchFolders(const std::string& home, const UrlPath& url) {
    const std::uint64_t round = noticeChanges();
    if (round == 0)
        return 0;
    const int watch = m_watch.load(std::memory_order_acquire);
    constexpr std::uint32_t Mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
    // The drives, every folder down to the home folder, and the folders the request names below it.
    if (::inotify_add_watch(watch, m_drives.c_str(), Mask) < 0)
        return 0;
    for (std::size_t at = m_drives.size() + 1; at <= home.size(); ++at)
        if (at == home.size() || home[at] == '/')
            if (::inotify_add_watch(watch, home.substr(0, at).c_str(), Mask) < 0)
                return 0;
    std::string folder = home;
    const qsizetype folders = url.endsInSlash ? url.names.size() : url.names.size() - 1;
    for (qsizetype i = 0; i < folders; ++i) {
        folder += '/';
        folder += url.names[i].toStdString();
        if (::inotify_add_watch(watch, folder.c_str(), Mask) < 0)
            return 0;
    }
    return round;
}

bool StaticFiles::found(const std::string& home, const UrlPath& url, const Site& site,
                        emulation::files::WinPath& path, std::string& resolved, struct stat& info) {
    if (m_drivesFd < 0 || !within(home, m_drives))
        return false;
    std::string key = home;
    for (const QString& name : url.names) {
        key += '/';
        key += name.toStdString();
    }
    key += url.endsInSlash ? "/\n" : "\n";
    if (site.enableDefaultDoc)
        key += site.defaultDocText.empty() && site.defaultDocs ? site.defaultDocs->join(u',').toStdString()
                                                               : site.defaultDocText;
    std::shared_ptr<const Finding> kept;
    if (const std::uint64_t round = noticeChanges(); round != 0) {
        std::lock_guard lock(m_foundLock);
        const auto it = m_findings.find(key);
        if (it != m_findings.end() && it->second->round == round)
            kept = it->second;
    }
    if (kept && ::fstatat(m_drivesFd, kept->relative.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode)) {
        if (kept->byDefaultDoc)
            path.names << kept->defaultDoc;
        resolved = m_realDrives + '/' + kept->relative;
        return true;
    }
    // Watched before it is looked for: a change while it is looked for drops the finding.
    const std::uint64_t round = watchFolders(home, url);
    const qsizetype names = path.names.size();
    if (!direct(home, url, site, path, resolved, info))
        return false;
    if (round != 0) {
        auto finding = std::make_shared<Finding>();
        finding->round = round;
        finding->relative = resolved.substr(m_realDrives.size() + 1);
        finding->byDefaultDoc = path.names.size() > names;
        if (finding->byDefaultDoc)
            finding->defaultDoc = path.names.last();
        if (noticeChanges() == round) {
            std::lock_guard lock(m_foundLock);
            if (m_round.load(std::memory_order_acquire) == round) {
                if (m_findings.size() >= MaxFindings)
                    m_findings.clear();
                m_findings[key] = std::move(finding);
            }
        }
    }
    return true;
}

Response StaticFiles::serve(const FileRequest& rq, const SiteTable& table, const Site& site,
                            const RightsOf& rightsOf) {
    Response r;
    const auto url = decodeUrlPath(rq.rawPath);
    if (!url || !site.root.valid()) {
        fail(r, 404, 0, FileNotFound);
        return r;
    }
    QString stem = u'/' + url->names.join(u'/');
    if (url->endsInSlash && !url->names.isEmpty())
        stem += u'/';
    r.entry.uriStem = stem;

    // The file on this computer: below the home folder as last found, the names as written first,
    // else matched without regard to case; the home folder is looked for again when that fails.
    std::string home = homeFolder(site, false);
    emulation::files::WinPath path = site.root;
    path.names += url->names;
    std::string resolved;
    struct stat info {};
    const bool known = found(home, *url, site, path, resolved, info);
    std::optional<emulation::files::WinPath> real;
    if (known) {
        real = path;
    } else {
        auto below = [&](const std::string& from, std::string& file) {
            file = from;
            for (const QString& name : url->names)
                file += '/' + name.toStdString();
            if (::stat(file.c_str(), &info) == 0)
                return true;
            std::string folder = from;
            for (const QString& name : url->names) {
                const auto stored = m_folders.find(folder, name);
                if (!stored)
                    return false;
                folder += '/' + *stored;
            }
            file = folder;
            return ::stat(file.c_str(), &info) == 0;
        };
        auto locate = [&](std::string& file) {
            if (!home.empty() && below(home, file))
                return true;
            home = homeFolder(site, true);
            return !home.empty() && below(home, file);
        };
        std::string file;
        if (!locate(file)) {
            fail(r, 404, 0, FileNotFound);
            return r;
        }
        if (S_ISDIR(info.st_mode)) {
            if (!url->endsInSlash) {
                r.status = 301;
                r.headers.emplace_back("Location", "http://" + rq.authority + rq.rawPath + '/' +
                                                       (rq.query.empty() ? std::string() : '?' + rq.query));
                r.contentType = "text/html";
                r.body = "<head><title>文档已移动</title></head>\n<body><h1>对象已移动</h1></body>";
                return r;
            }
            // The first default document that is there; that it is a file is checked when it is opened.
            bool found = false;
            const auto names = site.enableDefaultDoc ? m_folders.names(file, &info) : nullptr;
            if (names)
                for (qsizetype i = 0; i < site.defaultDocs->size(); ++i) {
                    const QString& doc = site.defaultDocs->at(i);
                    const auto stored = names->constFind(docKey(site, i));
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

        // Links: never out of the drives; within the home directory their target's rights apply.
        real = target(file, home, path, resolved);
        if (!real) {
            fail(r, 404, 0, FileNotFound);
            return r;
        }
    }
    const QString name = path.names.isEmpty() ? QString() : path.names.last();
    const qsizetype dot = name.lastIndexOf(u'.');
    const auto mime = table.mimeType(site, dot < 0 ? u"."_s : name.mid(dot));
    if (!mime) {
        fail(r, 404, 3, 50);
        return r;
    }
    if (!(rightsOf(*real) & emulation::accounts::rights::ReadData)) {
        fail(r, 401, 3, AccessDenied);
        return r;
    }

    const auto content = known ? m_files.read(resolved, info) : m_files.read(resolved);
    if (!content) {
        fail(r, 404, 0, FileNotFound);
        return r;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(content->size);
    const std::time_t modified = content->modified;
    const std::string etag = etagOf(modified);
    r.contentType = mime->toStdString();
    r.headers.emplace_back("Last-Modified", httpDate(modified));
    r.headers.emplace_back("Accept-Ranges", "bytes");
    r.headers.emplace_back("ETag", etag);

    // If-None-Match decides when it is there; If-Modified-Since only without it (RFC 9110 13.2.2).
    const bool notModified =
        !rq.ifNoneMatch.empty() ? noneMatchHits(rq.ifNoneMatch, etag) : !rq.ifModifiedSince.empty() && [&] {
            const std::time_t since = parseHttpDate(rq.ifModifiedSince);
            return since >= 0 && modified <= since;
        }();
    if (notModified) {
        r.status = 304;
        r.contentType.clear();
        return r;
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
        r.streamFile = resolved;
        r.streamOffset = range.first;
        r.streamLength = length;
    } else {
        r.body = content->bytes.substr(range.first, length);
    }
    return r;
}

} // namespace w3svc
