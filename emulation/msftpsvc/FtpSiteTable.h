#pragma once

#include "emulation/files/WinPath.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace emulation::machine {
class Database;
}

namespace msftpsvc {

namespace state {
inline constexpr std::uint32_t Started = 2;
inline constexpr std::uint32_t Stopped = 4;
inline constexpr std::uint32_t Paused = 6;
} // namespace state

// One IIsFtpVirtualDir: the site's ROOT ("") or a directory below it ("shop", "shop/logs").
struct FtpVirtualDir {
    QString name;   // as stored, the names from ROOT down joined by "/"; empty for ROOT
    QString lookup; // the same in lower case
    emulation::files::WinPath path;
    bool read = false;
    bool write = false;
};

// "IP:port:" of an FTP site's ServerBindings (FTP has no host names); an empty ip is every
// unassigned address.
struct FtpBinding {
    QString ip;
    std::uint16_t port = 0;
};

// What the FTP service needs of one IIsFtpServer.
struct FtpSite {
    std::uint32_t id = 0;
    QString comment;
    std::uint32_t state = state::Stopped;
    std::vector<FtpBinding> bindings;
    bool allowAnonymous = true;
    bool anonymousOnly = false;
    QString anonymousUser;
    QString anonymousPass;
    QStringList greeting; // GreetingMessage: the lines after a logon
    QString exitMessage;
    QString maxClientsMessage;
    std::uint32_t maxConnections = 100000;
    std::uint32_t connectionTimeout = 120; // seconds
    bool msdosListing = true;
    bool logging = true;
    QString logFileDirectory;
    std::vector<FtpVirtualDir> dirs; // ROOT first, then by name

    const FtpVirtualDir* root() const {
        return dirs.empty() || !dirs.front().name.isEmpty() ? nullptr : &dirs.front();
    }
    // The virtual directory by its lower-case name ("" for ROOT).
    const FtpVirtualDir* dir(const QString& lookup) const;
};

// The FTP service's configuration as one read of the metabase found it.
class FtpSiteTable {
public:
    // Reads /LM/MSFTPSVC and everything below it in one statement; the caller holds a read scope
    // when several reads must agree.
    static std::unique_ptr<FtpSiteTable> read(emulation::machine::Database& db);

    const std::vector<FtpSite>& sites() const { return m_sites; }
    // The started or paused site bound to an address (empty: not one of the machine's) and port:
    // a binding of the address beats one of all unassigned addresses.
    const FtpSite* match(const QString& address, std::uint16_t port) const;
    const FtpSite* site(std::uint32_t id) const;
    // The addresses (empty for all unassigned) and ports that started and paused sites are bound to.
    std::set<std::pair<QString, std::uint16_t>> endpoints() const;

private:
    std::vector<FtpSite> m_sites;
};

} // namespace msftpsvc
