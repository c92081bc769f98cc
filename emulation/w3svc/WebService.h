#pragma once

#include "emulation/w3svc/CommitWatch.h"
#include "emulation/w3svc/RequestLog.h"
#include "emulation/w3svc/SiteTable.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include <sys/stat.h>
#include <sys/types.h>
#include <utility>
#include <vector>

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

    // What the access checks found while this state holds.
    mutable std::shared_mutex cacheLock;
    mutable QHash<QString, QString> logons;       // user + "\n" + password -> SID, empty when refused
    mutable QHash<QString, std::uint32_t> rights; // SID + "\n" + path -> granted rights
};

// A request as the listener received it.
struct Request {
    QString address;              // the machine address it came in on; empty for one that is none of them
    QString localIp;              // the loopback address it came in on
    std::uint16_t port = 0;       // the machine port it came in on (without the offset)
    std::uint16_t listenPort = 0; // the port it really came in on
    std::string method;
    std::string target;  // as sent: path and query, still encoded
    std::string version; // "HTTP/1.1"
    std::string host;    // the Host header
    std::string range;
    std::string ifModifiedSince;
    std::string userAgent;
    std::string cookie;
    std::string referer;
    QString clientIp;
    std::uint64_t bytesReceived = 0;
};

struct Response {
    int status = 200;
    int substatus = 0;
    std::uint32_t win32Status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string contentType;
    std::string body;
    std::string streamFile;         // a large file sent from the disk instead of a body: its path,
    std::uint64_t streamOffset = 0; // where to start
    std::uint64_t streamLength = 0; // and how much to send
    bool headOnly = false;          // HEAD: the length of the body is announced but nothing sent
    bool log = false;               // the request reached a site and is logged
    bool centralLog = false;        // into the central binary log rather than the site's own
    LogEntry entry;
};

// The names in folders on this computer by lower case, to find a file of a Windows path without
// regard to case; a folder is read again when its modification time changes.
class FolderIndex {
public:
    // The name as stored of the entry of a folder that matches name without regard to case.
    std::optional<std::string> find(const std::string& folder, const QString& name);
    // Lower-case name -> name as stored, for every entry of a folder; null when it is no folder.
    using Names = QHash<QString, std::string>;
    // known: the folder's stat when the caller has just made it.
    std::shared_ptr<const Names> names(const std::string& folder, const struct stat* known = nullptr);

private:
    struct Folder {
        timespec modified{};
        std::shared_ptr<const Names> names;
    };
    std::mutex m_lock;
    std::unordered_map<std::string, Folder> m_folders;
};

// The contents of small files, kept while a file's identity, size and modification time stay.
class FileContents {
public:
    struct File {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modifiedNs = 0;
        std::time_t modified = 0;
        std::string bytes; // empty for a file larger than MaxCachedFile, which is sent from the disk
    };
    // The file at a path of this computer; null when it is no regular file or cannot be read.
    std::shared_ptr<const File> read(const std::string& path);

    static constexpr size_t MaxCachedFile = 256 * 1024;
    static constexpr size_t MaxCachedBytes = 32 * 1024 * 1024;

private:
    std::mutex m_lock;
    std::unordered_map<std::string, std::shared_ptr<const File>> m_files;
    size_t m_cachedBytes = 0;
};

// The machine's W3SVC without the network: matches a request to a site, applies the site's state,
// redirect, home directory, default documents, MIME map, read access and the anonymous user's
// file permissions, and answers it. Safe to call from many threads; the machine's database is used
// under one lock. Its commits are noticed through the WAL index's header and confirmed with SQLite's
// data version, so a request always sees the metabase (and the accounts and permissions) as the last
// commit left them, without the metabase being read per request.
class WebService {
public:
    explicit WebService(emulation::machine::Machine& machine);
    ~WebService();

    // The current state, read afresh when the machine's database changed since the last look.
    std::shared_ptr<const Snapshot> current();
    Response handle(const Request& request);

    // Records a request in the central binary log or the site's own W3C log.
    void log(const LogEntry& entry, bool central);
    void flushLogs();

    // The machine's IPv4 addresses, in the order of its facts.
    QStringList machineAddresses();

private:
    std::shared_ptr<const Snapshot> reload();
    std::optional<QString> logon(const Snapshot& snap, const Site& site);
    std::uint32_t rightsOf(const Snapshot& snap, const QString& sid, const emulation::files::WinPath& path);
    Response serveFile(const Request& request, const Snapshot& snap, const Site& site,
                       const std::string& rawPath, const std::string& query);

    emulation::machine::Machine& m_machine;
    std::mutex m_dbLock; // the machine's database and the members below
    std::int64_t m_dataVersion = -1;
    std::shared_ptr<const Snapshot> m_snapshot;
    CommitWatch m_commits;
    std::atomic<std::uint64_t> m_checkedStamp{0};           // the WAL index as the last check found it
    std::atomic<std::shared_ptr<const Snapshot>> m_current; // the state that check left
    std::uint64_t m_generation = 0;
    FolderIndex m_folders;
    FileContents m_files;
    W3cSiteLogs m_siteLogs;
    CentralBinaryLog m_centralLog;
};

// The body IIS sends with an error status.
std::string errorPage(int status, int substatus);

} // namespace w3svc
