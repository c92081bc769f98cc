#include "maintenance/deletfloadr.h"

#include "platform/Accounts.h"
#include "platform/CommandRunner.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Metabase.h"

#include <QRegularExpression>

#include <algorithm>

namespace deletfloadr {

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;
using platform::Status;

namespace {

const QString PoolsPath = u"IIS://localhost/W3SVC/AppPools"_s;

QString ftpRootPath(std::int32_t ftpSiteNumber) {
    return u"IIS://localhost/MSFTPSVC/"_s + QString::number(ftpSiteNumber) + u"/ROOT"_s;
}

Error refused(const QString& why) {
    return Error{platform::hr::AccessDenied, why};
}

// The names of a full Windows path, lower case, the drive first ("d:", "webroot", "shop"), as
// Windows compares them: without regard to case, trailing dots and blanks dropped, "\" and "/"
// alike. Relative paths, UNC paths, "." and ".." and names with wildcards or other characters that
// no file name may hold are refused.
std::optional<QStringList> namesOf(const QString& path) {
    static const QRegularExpression drive(u"^[A-Za-z]:[\\\\/]"_s);
    if (!drive.match(path).hasMatch())
        return std::nullopt;
    QStringList names{path.left(2).toLower()};
    static const QRegularExpression separators(u"[\\\\/]"_s);
    for (QString name : path.mid(3).split(separators, Qt::SkipEmptyParts)) {
        while (!name.isEmpty() && (name.endsWith(u'.') || name.endsWith(u' ')))
            name.chop(1);
        if (name.isEmpty())
            return std::nullopt; // ".", ".." or only dots and blanks
        for (QChar c : name)
            if (c.unicode() < 32 || QStringView(u"<>:\"|?*").contains(c))
                return std::nullopt;
        names << name.toLower();
    }
    return names;
}

bool startsWith(const QStringList& names, const QStringList& prefix) {
    if (names.size() < prefix.size())
        return false;
    for (qsizetype i = 0; i < prefix.size(); ++i)
        if (names[i] != prefix[i])
            return false;
    return true;
}

// Folders of the system that no site folder may be, hold or lie in.
bool isSystemFolder(const QStringList& names) {
    static const QStringList System = {u"windows"_s,
                                       u"winnt"_s,
                                       u"program files"_s,
                                       u"documents and settings"_s,
                                       u"system volume information"_s,
                                       u"recycler"_s,
                                       u"inetpub"_s};
    return names.size() >= 2 && System.contains(names[1]);
}

bool containsNoCase(const QStringList& list, const QString& value) {
    return list.contains(value.trimmed(), Qt::CaseInsensitive);
}

} // namespace

bool IsSiteNumber(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

const SitesInUse& sitesInUse(Deletion& d) {
    if (d.inUse)
        return *d.inUse;
    SitesInUse use;
    use.directories = d.others.directories;
    use.accounts = d.others.accounts;
    for (const QString& name : d.others.names)
        use.pools << name.trimmed();
    const auto scope = d.metabase.ReadScope();
    if (auto service = d.metabase.Bind(u"IIS://LocalHost/W3SVC"_s))
        if (auto pool = service.value()->Get(u"AppPoolId"_s))
            use.pools << pool.value().toString().trimmed();
    // FTP directories of the other sites; the one named like this site is its own.
    if (auto ftpRoot = d.metabase.Bind(ftpRootPath(d.ftpSiteNumber))) {
        for (auto& child : ftpRoot.value()->Enumerate().valueOr({})) {
            if (child->Name().trimmed().compare(d.siteName.trimmed(), Qt::CaseInsensitive) == 0)
                continue;
            if (auto v = child->Get(u"Path"_s))
                use.directories << v.value().toString();
        }
    }
    d.inUse = std::move(use);
    return *d.inUse;
}

Outcome<QString> SiteFolderOf(const QString& homeDirectory) {
    static const QRegularExpression web(u"[\\\\/]web[\\\\/]?$"_s, QRegularExpression::CaseInsensitiveOption);
    const auto match = web.match(homeDirectory);
    if (!match.hasMatch())
        return refused(u"网站目录 "_s + homeDirectory + u" 不是网站文件夹下的 web 文件夹"_s);
    return homeDirectory.left(match.capturedStart());
}

bool IsInside(const QString& path, const QString& folder) {
    const auto p = namesOf(path);
    const auto f = namesOf(folder);
    return p && f && startsWith(*p, *f);
}

Status MayDeleteFolder(const QString& folder, const QString& sitesRoot,
                       const QStringList& otherSitesDirectories) {
    const auto f = namesOf(folder);
    if (!f)
        return refused(u"文件夹路径无效"_s);
    if (f->size() < 2)
        return refused(u"不能删除驱动器的根目录"_s);
    const auto root = namesOf(sitesRoot);
    if (!root)
        return refused(u"网站根目录 "_s + sitesRoot + u" 无效"_s);
    if (!startsWith(*f, *root))
        return refused(u"文件夹不在网站根目录 "_s + sitesRoot + u" 之内"_s);
    if (f->size() == root->size())
        return refused(u"文件夹就是网站根目录"_s);
    if (isSystemFolder(*f))
        return refused(u"不能删除系统文件夹"_s);
    // Only a path that holds the folder's own name can lie inside it: the others, nearly every
    // site's directory, are passed over without being taken apart into names.
    const QString& own = f->back();
    for (const QString& other : otherSitesDirectories) {
        if (!other.toLower().contains(own))
            continue;
        const auto o = namesOf(other);
        if (o && startsWith(*o, *f))
            return refused(u"其他网站的目录 "_s + other + u" 在此文件夹中"_s);
    }
    return {};
}

void DeleteAppPool(Deletion& d, const QString& name) {
    const QString what = u"Delete IIsApplicationPool "_s + name + u" on "_s + PoolsPath;
    auto pools = d.metabase.Bind(PoolsPath);
    if (!pools) {
        d.failed(what, pools.error());
        return;
    }
    const auto children = pools.value()->Children();
    if (!children) {
        d.failed(what, children.error());
        return;
    }
    const bool exists = std::any_of(children.value().begin(), children.value().end(), [&](const auto& c) {
        return c.Name.compare(name, Qt::CaseInsensitive) == 0;
    });
    if (!exists)
        return; // the site was made without a pool of its own
    if (containsNoCase(sitesInUse(d).pools, name)) {
        d.failed(what, refused(u"另有网站使用此应用程序池，未删除"_s));
        return;
    }
    if (auto s = pools.value()->Delete(u"IIsApplicationPool"_s, name); !s)
        d.failed(what, s.error());
}

namespace {
// The site's folder, or "" when its home directory does not show one.
QString siteFolderOf(const Deletion& d) {
    return SiteFolderOf(d.homeDirectory).valueOr(QString());
}
} // namespace

void DeleteFtpVirtualDir(Deletion& d, const QString& name, const QString& ftpDirPath) {
    const QString rootPath = ftpRootPath(d.ftpSiteNumber);
    const QString deleteDir = u"Delete IIsFtpVirtualDir "_s + name + u" on "_s + rootPath;
    // FTP directory names ignore letter case: one named like another listed site may be its.
    if (containsNoCase(d.others.names, name)) {
        d.failed(deleteDir, refused(u"另有网站名为 "_s + name + u"，其 FTP 目录未删除"_s));
        return;
    }
    auto root = d.metabase.Bind(rootPath);
    if (!root)
        d.failed(deleteDir, root.error());
    else if (auto s = root.value()->Delete(u"IIsFtpVirtualDir"_s, name); !s)
        d.failed(deleteDir, s.error());
    if (ftpDirPath.isEmpty())
        return;
    const QString what = u"DeleteFolderTree "_s + ftpDirPath;
    if (!IsInside(ftpDirPath, siteFolderOf(d))) {
        d.failed(what, refused(u"FTP 目录不在网站 "_s + name + u" 的文件夹之内，未删除"_s));
        return;
    }
    if (auto may = MayDeleteFolder(ftpDirPath, d.sitesRoot, sitesInUse(d).directories); !may) {
        d.failed(what, may.error());
        return;
    }
    DeleteFolderTree(d, ftpDirPath);
}

bool IsSiteAccount(platform::Accounts& accounts, const QString& account, const QString& sharedAnonymousUser) {
    const QString name = account.trimmed();
    if (name.isEmpty() || name.compare(sharedAnonymousUser.trimmed(), Qt::CaseInsensitive) == 0)
        return false;
    // Asked of the account database itself: listing the group with "net localgroup" would be one
    // more command line run on the server for every edit and deletion.
    return accounts.IsMember(SiteAccountGroup, name).valueOr(false);
}

bool DeleteSiteUser(Deletion& d, const QString& account) {
    if (!IsSiteAccount(d.accounts, account, d.sharedAnonymousUser))
        return false; // a shared or built-in account is never deleted with a site
    const QString what = u"NetUserDel "_s + account;
    if (containsNoCase(sitesInUse(d).accounts, account)) {
        d.failed(what, refused(u"另有网站使用此帐户，未删除"_s));
        return false;
    }
    const std::uint32_t result = d.accounts.NetUserDel(account.trimmed());
    if (result == 0)
        return true;
    d.failed(what, Error{result, u"NetUserDel 失败"_s});
    return false;
}

void ReleaseSiteFolder(Deletion& d, const QString& name, const QString& account, const QString& ftpDirPath) {
    if (d.metabase.Bind(ftpRootPath(d.ftpSiteNumber) + u'/' + name)) {
        // Still published over FTP: the folder, the account and the FTP directory stay; the web
        // worker group loses its access to the folder tree.
        const QString line = u"cmd.exe /c cacls "_s + u'"' + ftpDirPath + u'"' + u" /t /e /c /r IIS_WPG"_s;
        // A quote or "%" in the path (set by another tool) would end the quoted path in the line.
        if (ftpDirPath.isEmpty() || !IsInside(ftpDirPath, siteFolderOf(d)) || ftpDirPath.contains(u'"') ||
            ftpDirPath.contains(u'%')) {
            d.failed(line, refused(u"FTP 目录不在网站 "_s + name + u" 的文件夹之内，未更改"_s));
            return;
        }
        // Another site served from inside the folder would lose its web worker's access too.
        for (const QString& other : d.others.directories)
            if (IsInside(other, ftpDirPath)) {
                d.failed(line, refused(u"其他网站的目录 "_s + other + u" 在此文件夹中，未更改"_s));
                return;
            }
        d.run(line);
        return;
    }
    DeleteSiteFolder(d);
    DeleteSiteUser(d, account);
}

void DeleteSiteFolder(Deletion& d) {
    const auto folder = SiteFolderOf(d.homeDirectory);
    if (!folder) {
        d.failed(u"DeleteFolderTree"_s, folder.error());
        return;
    }
    const QString what = u"DeleteFolderTree "_s + folder.value();
    if (auto may = MayDeleteFolder(folder.value(), d.sitesRoot, sitesInUse(d).directories); !may) {
        d.failed(what, may.error());
        return;
    }
    DeleteFolderTree(d, folder.value());
}

void DeleteFolderTree(Deletion& d, const QString& path) {
    const QString what = u"DeleteFolderTree "_s + path;
    const auto exists = d.files.EntryExists(path);
    if (!exists) {
        d.dialogs.MsgBox(u"很抱歉您已经修改了主目录，删除失败！可以手动删除！"_s,
                         platform::msgbox::Information, u"删除错误"_s);
        d.failed(what, exists.error());
        return;
    }
    if (!exists.value())
        return;
    d.files.ClearAttributes(path);
    if (auto s = d.files.DeleteTree(path); !s)
        d.failed(what, s.error());
}

} // namespace deletfloadr
