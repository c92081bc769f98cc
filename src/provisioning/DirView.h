#pragma once

#include "provisioning/AppPool.h"

#include <QString>

namespace platform {
class Dialogs;
class Pacing;
} // namespace platform

// Folder tasks: the folder browser and the site account's permissions on the site folders.
namespace DirView {

// The longest path the folder browser hands back (its path buffer holds 255 characters).
inline constexpr int MaxBrowsePath = 255;

// Shows the folder browser with the title as its text ("选择目录" when the title is empty) and
// returns the chosen folder's Windows path, or "" when cancelled. A path longer than 255
// characters is refused with "路径太长！", one with a character that a quoted command line cannot
// hold with "路径含有非法字符！"; both give "".
QString BrowseFolder(platform::Dialogs& dialogs, const QString& title);

// Gives the site's own account (as a rule named like the site) its rights on the site's folder and
// its "\web" folder, then waits 1000 ms.
void GrantSiteAccountAccess(const AppPool::RunCommand& run, platform::Pacing& pacing, const QString& root,
                            const QString& site, const QString& account);

// The same two grants for another account (the shared anonymous account); no wait.
void GrantSharedAccountAccess(const AppPool::RunCommand& run, const QString& root, const QString& site,
                              const QString& account);

} // namespace DirView
