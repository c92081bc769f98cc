#pragma once

// Removing what was made for a site: its application pool, FTP directory, account and folder tree.
// Every step that does not achieve its end is recorded, so that the final report names it; nothing is ever
// deleted outside the folder of the site being deleted.

#include "platform/CommandRunner.h"
#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace platform {
class Accounts;
class Dialogs;
class Files;
class Metabase;
} // namespace platform

namespace deletfloadr {

// The local group that holds the accounts made for sites.
inline const QString SiteAccountGroup = QStringLiteral("velmorausers");

// What the sites that remain still use: home directories and FTP directories, application pools
// and anonymous accounts.
struct SitesInUse {
    QStringList directories;
    QStringList pools;
    QStringList accounts;
};

// The other sites as the site list shows them: names, home directories and anonymous accounts.
// The list is rebuilt after every change the program makes, and reading it costs nothing, where
// reading every site's root again would cost as much as a whole refresh.
struct ListedSites {
    QStringList names;
    QStringList directories;
    QStringList accounts;
};

// One deletion: the platform services it works through, the facts it needs and its record.
struct Deletion {
    platform::Metabase& metabase;
    platform::Accounts& accounts;
    platform::Files& files;
    platform::Dialogs& dialogs;
    // Records a step that did not achieve its end on the operation under way.
    std::function<void(const QString& what, const platform::Error& error)> failed;
    // Runs a command line hidden and waits for it (the window's RunHidden, which records a
    // command that failed).
    std::function<platform::Outcome<platform::CommandResult>(const QString&)> run;
    std::int32_t ftpSiteNumber = 0;
    QString siteName;
    QString homeDirectory; // the site's home directory as its list row shows it
    QString sharedAnonymousUser;
    QString sitesRoot;
    ListedSites others;
    // Filled on first use by sitesInUse().
    std::optional<SitesInUse> inUse;
};

// A site's number as the metabase names sites: decimal digits only.
bool IsSiteNumber(const QString& text);

// What the remaining sites use, worked out once: the listed sites' directories and accounts, the
// pools named like them (the program gives each site the pool named like it) and the web
// service's default pool, and every other FTP directory, read from the metabase.
const SitesInUse& sitesInUse(Deletion& d);

// The folder a site's home directory belongs to: the directory without its last "\web". Fails for a
// directory that does not end in "\web".
platform::Outcome<QString> SiteFolderOf(const QString& homeDirectory);

// Whether a folder may be deleted with everything in it: it lies inside the sites root and is not
// the root itself, is no drive root and no system folder, names no wildcard, and holds no home or
// FTP directory of another site. The error tells why not.
platform::Status MayDeleteFolder(const QString& folder, const QString& sitesRoot,
                                 const QStringList& otherSitesDirectories);

// Whether a path is the folder itself or lies inside it (Windows names: without regard to case,
// trailing dots and blanks dropped).
bool IsInside(const QString& path, const QString& folder);

// The pool named like the site, unless it is missing or another site still runs in it.
void DeleteAppPool(Deletion& d, const QString& name);

// The site's FTP directory under the default FTP site's root, and its folder when that folder
// lies inside the site's own folder.
void DeleteFtpVirtualDir(Deletion& d, const QString& name, const QString& ftpDirPath);

// Whether an account is one made for a site: a member of velmorausers, and not the web service's
// shared anonymous account.
bool IsSiteAccount(platform::Accounts& accounts, const QString& account, const QString& sharedAnonymousUser);

// Deletes a site's own account (NetUserDel); true when it was deleted. An account that is not a
// site account, or that another site still uses, is kept.
bool DeleteSiteUser(Deletion& d, const QString& account);

// A site without a Check3 deletion: while its FTP directory exists, the folder, account and FTP
// directory stay and only the web worker group's access is withdrawn; otherwise its folder and
// its account are deleted.
void ReleaseSiteFolder(Deletion& d, const QString& name, const QString& account, const QString& ftpDirPath);

// Deletes the site's folder (its home directory without the last "\web") when MayDeleteFolder
// allows it; otherwise the step is recorded.
void DeleteSiteFolder(Deletion& d);

// Deletes a folder tree permanently, without asking and without the recycle bin. A folder that
// cannot be tested is reported with "很抱歉您已经修改了主目录，删除失败！可以手动删除！"; a missing
// folder is left alone. Callers check the folder with MayDeleteFolder first.
void DeleteFolderTree(Deletion& d, const QString& path);

} // namespace deletfloadr
