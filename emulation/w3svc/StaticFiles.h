#pragma once

#include "emulation/files/WinPath.h"
#include "emulation/w3svc/Exchange.h"
#include "emulation/w3svc/FileContents.h"
#include "emulation/w3svc/FolderIndex.h"
#include "emulation/w3svc/SiteTable.h"
#include "emulation/w3svc/UrlPath.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <sys/stat.h>

namespace w3svc {

// What the static-file handler needs to know of a request beyond its path.
struct FileRequest {
    std::string rawPath; // encoded, as sent
    std::string query;
    std::string authority; // checked host and port for a Location; empty: none was sent
    std::string range;
    std::string ifModifiedSince;
    std::string ifNoneMatch;
};

// IIS 6's static-file handler for one site: finds the file or the folder's default document below
// the home directory (names without regard to case), applies the MIME map and the anonymous
// user's rights, and answers with the file, a part of it (Range), 304 (If-None-Match,
// If-Modified-Since), a redirect to the folder's slash, or an error. No symbolic link leads out of
// the machine's drives; one that stays inside the site's home directory is followed, and the rights
// checked are those of its target.
class StaticFiles {
public:
    // drivesFolder: the machine's drives on this computer ("<machine>/drives").
    explicit StaticFiles(const QString& drivesFolder);
    ~StaticFiles();
    StaticFiles(const StaticFiles&) = delete;
    StaticFiles& operator=(const StaticFiles&) = delete;

    // The rights the anonymous user holds on a path of the machine.
    using RightsOf = std::function<std::uint32_t(const emulation::files::WinPath&)>;
    Response serve(const FileRequest& rq, const SiteTable& table, const Site& site, const RightsOf& rightsOf);

    // What a host path below the drives (the file asNamed) really names, followed through links:
    // asNamed when no link is on the way, else the Windows path of the link's target; nullopt when
    // it is not there, lies outside the drives, or (when a link was passed) outside the folder
    // within. resolved receives the host path without links.
    std::optional<emulation::files::WinPath> target(const std::string& hostPath, const std::string& within,
                                                    const emulation::files::WinPath& asNamed,
                                                    std::string& resolved) const;

private:
    // The common case in a few system calls: the names as written, no link on the way from the
    // drives, and a regular file or a folder (asked for with its slash) whose first default
    // document is one. path receives the default document's name, resolved the host path, info the
    // file's status. False leaves the request to the full search, which answers every other case.
    bool direct(const std::string& home, const UrlPath& url, const Site& site,
                emulation::files::WinPath& path, std::string& resolved, struct stat& info);

    // direct(), with what it found kept while no folder on the way changes: the folders from the
    // drives down to the file are watched, and a change in any of them drops everything kept. A
    // kept finding still looks at the file itself, so its contents are always as they are now.
    bool found(const std::string& home, const UrlPath& url, const Site& site, emulation::files::WinPath& path,
               std::string& resolved, struct stat& info);
    // Reads what the watch noticed; a change drops the findings. The round of changes now, 0 when
    // nothing can be watched.
    std::uint64_t noticeChanges();
    // Watches the folders a finding depends on; the round of changes from which on it holds, 0 when
    // they cannot be watched.
    std::uint64_t watchFolders(const std::string& home, const UrlPath& url);

    // The host folder of a site's home directory, its names matched without regard to case;
    // remembered, and looked for again when again is set. Empty when it is not there.
    std::string homeFolder(const Site& site, bool again);

    std::string m_drives;     // as the machine names it
    std::string m_realDrives; // the same with every link resolved
    int m_drivesFd = -1;      // that folder, opened to walk below it
    FolderIndex m_folders;
    std::mutex m_homesLock;
    std::unordered_map<std::string, std::string> m_homes; // lower-case Windows path -> host folder
    FileContents m_files;

    struct Finding {
        std::uint64_t round = 0; // the round of changes it was found in
        std::string relative;    // the file below the drives
        QString defaultDoc;      // the default document's name, when the folder was asked for
        bool byDefaultDoc = false;
    };
    static constexpr std::size_t MaxFindings = 4096;
    std::mutex m_foundLock;                // the findings, and the making of the watch
    std::atomic<int> m_watch{-1};          // the inotify instance, -1 until needed or when none
    bool m_watchFailed = false;            // can be had
    std::atomic<std::uint64_t> m_round{1}; // counts the rounds of changes noticed
    std::unordered_map<std::string, std::shared_ptr<const Finding>> m_findings;
};

// IIS 6's ETag of a file: its modification time as a Windows FILETIME in hex, ":", and the
// metabase's change number in hex ("\"1d4c3b2a1f0e9d8:0\"").
std::string etagOf(std::time_t modified);
// Whether an If-None-Match list ("*", or quoted tags, weak or strong) names the tag.
bool noneMatchHits(const std::string& ifNoneMatch, const std::string& etag);

} // namespace w3svc
