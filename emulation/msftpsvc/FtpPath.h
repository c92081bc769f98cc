#pragma once

#include "emulation/files/WinPath.h"
#include "emulation/msftpsvc/FtpSiteTable.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace msftpsvc {

// A path of the FTP site's tree ("/shop/web/index.html"): names from the site's root down.
struct VirtualPath {
    QStringList names;
    QString toString() const { return u'/' + names.join(u'/'); }
    bool isRoot() const { return names.isEmpty(); }
};

// A path as a command names it, taken relative to the current folder: "/" or "\" separate, "."
// and ".." are resolved (".." at the root stays there). nullopt for a name Windows cannot have
// (a control character, one of : * ? " < > |, a final dot or blank, a device name such as CON or
// LPT1, longer than 255 characters) and for a path of more than MaxPath characters, so that no
// name can reach past its folder or mean something else to the file system.
std::optional<VirtualPath> resolvePath(const VirtualPath& cwd, const QString& argument);

// Where a path of the tree lies: in which virtual directory, and the Windows path it names.
struct Placement {
    const FtpVirtualDir* dir = nullptr; // the deepest virtual directory the path is in
    emulation::files::WinPath path;     // its Path with the names below it
    bool isDirItself = false;           // the path is the virtual directory itself
};
// nullopt when the site has no ROOT or the directory's Path is no sound Windows path.
std::optional<Placement> place(const FtpSite& site, const VirtualPath& path);

// The names of the virtual directories directly below a path of the tree, as stored.
QStringList virtualChildren(const FtpSite& site, const VirtualPath& path);

// The folder a user lands in after the logon: the virtual directory named like the user when
// there is one (IIS 6 without user isolation), else the root.
VirtualPath landingFolder(const FtpSite& site, const QString& user);

} // namespace msftpsvc
