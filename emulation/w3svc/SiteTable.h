#pragma once

#include "emulation/files/WinPath.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace emulation::machine {
class Database;
}

namespace w3svc {

// Lower-case extension (".htm") to MIME type.
using MimeTypes = QHash<QString, QString>;

namespace state {
inline constexpr std::uint32_t Started = 2;
inline constexpr std::uint32_t Stopped = 4;
inline constexpr std::uint32_t Paused = 6;
} // namespace state

// One "IP:port:host" of a site's ServerBindings. An empty ip means all unassigned addresses;
// the host is kept in lower case, since HTTP.sys compares host names without regard to case.
struct Binding {
    QString ip;
    std::uint16_t port = 0;
    QString host;

    static std::optional<Binding> parse(const QString& text);
};

// What the web service needs of one web site and its root virtual directory.
struct Site {
    std::uint32_t id = 0;
    QString comment;
    std::uint32_t state = state::Stopped;
    std::vector<Binding> bindings;

    emulation::files::WinPath root; // the root's Path
    QString redirect;               // the root's HttpRedirect; empty when the root is not redirected
    std::shared_ptr<const QStringList> defaultDocs;
    std::shared_ptr<const QStringList> defaultDocKeys; // the same in lower case, to look them up
    std::string rootKey;                               // the root's Path in lower case
    std::string defaultDocText;                        // the default documents, "," between them
    bool enableDefaultDoc = true;
    bool accessRead = true;
    QString anonymousUser;
    QString anonymousPass;
    MimeTypes ownMimeTypes; // the root's and the site's own MimeMap, the root's first

    bool logging = true;      // LogType 1 and not DontLog
    QString logFileDirectory; // LogFileDirectory as the site reads it
};

// The web service's configuration as one read of the metabase found it.
class SiteTable {
public:
    // Reads the W3SVC part of the metabase in one statement per level; the caller holds a read
    // scope when several reads must agree.
    static std::unique_ptr<SiteTable> read(emulation::machine::Database& db);

    bool centralBinaryLogging() const { return m_centralBinary; }
    QString logFileDirectory() const { return m_logFileDirectory; }
    // The service's ConnectionTimeout in seconds: how long IIS 6 keeps an idle connection open, and
    // how long a request's header may take to arrive.
    std::uint32_t connectionTimeout() const { return m_connectionTimeout; }
    const std::vector<Site>& sites() const { return m_sites; }

    // The site that answers a request that came in on a machine address (empty for an address
    // that is none of the machine's, as 127.0.0.1) and port with a Host header: an exact host
    // beats an empty host, a binding of the address beats one of all unassigned addresses.
    // Stopped sites have no bindings.
    const Site* match(const QString& address, std::uint16_t port, const QString& host) const;

    // The MIME type of an extension for a site: the site's own map over the service's.
    std::optional<QString> mimeType(const Site& site, const QString& extension) const;

    // The addresses (empty for all unassigned) and ports that started and paused sites are bound to.
    std::set<std::pair<QString, std::uint16_t>> endpoints() const;

private:
    bool m_centralBinary = false;
    QString m_logFileDirectory;
    std::uint32_t m_connectionTimeout = 120;
    MimeTypes m_serviceMimeTypes; // the service's MimeMap over the machine's
    std::vector<Site> m_sites;
    QHash<QString, const Site*> m_byBinding; // "ip:port:host"
};

} // namespace w3svc
