#include "emulation/check/Check.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/accounts/Security.h"
#include "emulation/files/FileSystem.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/PropertyRecord.h"
#include "platform/Accounts.h"
#include "platform/AnsiCodePage.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <optional>

namespace emulation::check {

using namespace Qt::Literals::StringLiterals;
using machine::Database;
using metabase::PropertyRecord;

namespace {

const QString DefaultPool = u"DefaultAppPool"_s;
const QString DefaultFtpSite = u"默认 FTP 站点"_s;
const QString SiteAccountGroup = u"velmorausers"_s;
const QString UsersSid = u"S-1-5-32-545"_s;
const QString CreatorOwnerSid = u"S-1-3-0"_s;
// What the sites-root securing grants the IIS worker-process group: (OI)(CI)(RA,REA,RC,RD,S).
constexpr std::uint32_t WorkerRights = accounts::rights::ReadAttributes | accounts::rights::ReadEa |
                                       accounts::rights::ReadControl | accounts::rights::ReadData |
                                       accounts::rights::Synchronize;
constexpr std::uint32_t Inherits = accounts::aceflags::ObjectInherit | accounts::aceflags::ContainerInherit;

struct Key {
    std::int64_t id;
    std::int64_t parent;
    QString cpath;
    QString name;
    QString cls;
    QString record;

    QString text(QStringView property) const {
        const auto v = PropertyRecord::find(record, property);
        return v ? v->toString() : QString();
    }
    bool has(QStringView property) const { return PropertyRecord::find(record, property).has_value(); }
};

struct Site {
    const Key* key;
    const Key* root = nullptr; // the ROOT virtual directory, when there is one
    QString comment;           // ServerComment, trimmed
    QString anonymous;         // the anonymous user as the root reads it (inherited)
    QString password;
    QString pool;
    QString path;
    QString folder; // the name of its folder directly under the sites root, lower case; or empty
};

QString lower(const QString& s) {
    return s.toLower();
}

// "VELMORA\name" -> "name".
QString accountPart(const QString& name) {
    const qsizetype slash = name.lastIndexOf(u'\\');
    return slash < 0 ? name : name.mid(slash + 1);
}

struct Account {
    QString sid;
    QString name;
    std::uint32_t flags = 0;
    QString salt;
    QString hash;
};

// The first name below the sites root of a Windows path under it, lower case; empty otherwise.
QString folderUnderRoot(const files::WinPath& root, const QString& path) {
    const files::WinPath p = files::WinPath::parse(path);
    if (!p.valid() || p.drive != root.drive || p.names.size() <= root.names.size())
        return {};
    for (qsizetype i = 0; i < root.names.size(); ++i)
        if (p.names[i].compare(root.names[i], Qt::CaseInsensitive) != 0)
            return {};
    return lower(p.names[root.names.size()]);
}

class Checker {
public:
    Checker(machine::Machine& machine, Result& result) : m(machine), r(result) {}

    platform::Status run();

private:
    void readMetabase();
    void readAccounts();
    void checkFolders();
    void checkAnonymousUsers();
    void checkPools();
    void checkFtp();
    void checkAccounts();
    void checkOrphanFolders();
    void checkAces();
    void checkRoot();
    void checkBindings();
    void add(Finding f) { r.findings.push_back(std::move(f)); }
    Finding about(Kind kind, const Site& s) const {
        Finding f{kind, s.key->name, s.comment, {}, {}, Repair::None, {}};
        return f;
    }
    // Whether a folder exists, by its host path first, by the machine's own lookup (which
    // matches names without regard to case) when that fails.
    bool folderExists(const QString& windowsPath, const QString& hostGuess) const {
        if (!hostGuess.isEmpty() && QFileInfo(hostGuess).isDir())
            return true;
        const files::WinPath p = files::WinPath::parse(windowsPath);
        return p.valid() && m.files().isFolder(p);
    }
    bool fileExists(const QString& windowsPath, const QString& hostGuess) const {
        if (!hostGuess.isEmpty() && QFileInfo(hostGuess).isFile())
            return true;
        const files::WinPath p = files::WinPath::parse(windowsPath);
        return p.valid() && m.files().exists(p) && !m.files().isFolder(p);
    }
    // The host path of a path below a folder of the sites root as the listing spelled it.
    QString hostBelowRoot(const QString& windowsPath) const;

    machine::Machine& m;
    Result& r;
    files::WinPath root;
    QString rootHost;
    bool rootExists = false;
    QHash<QString, QString> rootFolders; // lower case -> as listed
    std::vector<Key> keys;
    std::vector<Site> sites;
    QHash<QString, const Key*> pools; // lower-case name -> key
    std::vector<const Key*> ftpDirs;  // under the default FTP site's root
    QSet<QString> usedPools;          // lower case
    QHash<QString, Account> accounts; // lower-case name -> account
    QSet<QString> sids;
    std::vector<Account> siteAccounts; // the users of velmorausers
    QString workerGroupSid;
};

QString Checker::hostBelowRoot(const QString& windowsPath) const {
    const files::WinPath p = files::WinPath::parse(windowsPath);
    if (!rootExists || !p.valid() || p.names.size() <= root.names.size())
        return {};
    const auto it = rootFolders.find(lower(p.names[root.names.size()]));
    if (it == rootFolders.end())
        return {};
    QString host = rootHost + u'/' + *it;
    for (qsizetype i = root.names.size() + 1; i < p.names.size(); ++i)
        host += u'/' + p.names[i];
    return host;
}

void Checker::readMetabase() {
    Database& db = m.db();
    auto st =
        db.prepare("SELECT id, parent, cpath, name, keytype, props FROM mb_keys WHERE path = '/lm/w3svc' "
                   "OR substr(path, 1, 10) = '/lm/w3svc/' OR substr(path, 1, 13) = '/lm/msftpsvc/'");
    while (st.step())
        keys.push_back(
            {st.number(0), st.isNull(1) ? 0 : st.number(1), st.text(2), st.text(3), st.text(4), st.text(5)});
    const Key* w3svc = nullptr;
    const Key* ftpSite = nullptr;
    for (const Key& k : keys) {
        if (k.cpath.compare(u"/LM/W3SVC"_s, Qt::CaseInsensitive) == 0)
            w3svc = &k;
        else if (k.cls == u"IIsFtpServer"_s && k.text(u"ServerComment") == DefaultFtpSite)
            ftpSite = &k; // the last one wins, as the window's start-up finds it
    }
    if (!w3svc)
        return;
    QHash<std::int64_t, std::size_t> siteOf; // site key id -> index in sites
    for (const Key& k : keys) {
        if (k.parent == w3svc->id && k.cls == u"IIsWebServer"_s) {
            siteOf.insert(k.id, sites.size());
            sites.push_back({&k, nullptr, k.text(u"ServerComment").trimmed(), {}, {}, {}, {}, {}});
        }
    }
    const Key* poolsKey = nullptr;
    const Key* ftpRoot = nullptr;
    for (const Key& k : keys)
        if (k.parent == w3svc->id && k.name.compare(u"AppPools"_s, Qt::CaseInsensitive) == 0)
            poolsKey = &k;
    for (const Key& k : keys) {
        if (const auto it = siteOf.find(k.parent);
            it != siteOf.end() && k.name.compare(u"ROOT"_s, Qt::CaseInsensitive) == 0)
            sites[*it].root = &k;
        else if (poolsKey && k.parent == poolsKey->id && k.cls == u"IIsApplicationPool"_s)
            pools.insert(lower(k.name), &k);
        else if (ftpSite && k.parent == ftpSite->id && k.name.compare(u"ROOT"_s, Qt::CaseInsensitive) == 0)
            ftpRoot = &k;
        // Every pool named below W3SVC, outside the pools themselves, is in use.
        if (k.has(u"AppPoolId") && !(poolsKey && k.parent == poolsKey->id))
            usedPools.insert(lower(k.text(u"AppPoolId")));
    }
    if (ftpRoot)
        for (const Key& k : keys)
            if (k.parent == ftpRoot->id && k.cls == u"IIsFtpVirtualDir"_s)
                ftpDirs.push_back(&k);
    auto inherited = [&](const Site& s, QStringView property) {
        for (const Key* k : {s.root, s.key, w3svc})
            if (k && k->has(property))
                return k->text(property);
        return QString();
    };
    for (Site& s : sites) {
        s.anonymous = inherited(s, u"AnonymousUserName");
        s.password = inherited(s, u"AnonymousUserPass");
        s.pool = inherited(s, u"AppPoolId");
        if (s.pool.isEmpty())
            s.pool = DefaultPool;
        usedPools.insert(lower(s.pool));
        s.path = s.root ? s.root->text(u"Path") : QString();
        s.folder = folderUnderRoot(root, s.path);
    }
}

void Checker::readAccounts() {
    Database& db = m.db();
    auto st = db.prepare("SELECT sid, name, kind, flags, salt, hash FROM principals");
    while (st.step()) {
        const QString sid = st.text(0);
        sids.insert(sid);
        if (st.text(2) == u"user"_s)
            accounts.insert(lower(st.text(1)), {sid, st.text(1), static_cast<std::uint32_t>(st.number(3)),
                                                st.text(4), st.text(5)});
        if (st.text(1).compare(u"IIS_WPG"_s, Qt::CaseInsensitive) == 0)
            workerGroupSid = sid;
    }
    auto members =
        db.prepare("SELECT p.sid, p.name, p.flags FROM principals g JOIN members m ON m.group_sid = "
                   "g.sid JOIN principals p ON p.sid = m.member_sid WHERE g.name = ?1 AND p.kind = "
                   "'user' ORDER BY p.name");
    members.bind(1, SiteAccountGroup);
    while (members.step())
        siteAccounts.push_back(
            {members.text(0), members.text(1), static_cast<std::uint32_t>(members.number(2)), {}, {}});
}

void Checker::checkFolders() {
    for (const Site& s : sites) {
        Finding f = about(Kind::MissingFolder, s);
        if (!s.root || s.path.isEmpty()) {
            f.object = s.key->cpath + u"/ROOT"_s;
            f.problem = u"网站没有主目录"_s;
            add(f);
            continue;
        }
        const QString host = hostBelowRoot(s.path);
        f.object = s.path;
        if (!folderExists(s.path, host)) {
            f.problem = u"主目录不存在"_s;
            add(f);
            continue;
        }
        // A site the window made carries its friendly name and gets the default page.
        if (s.root->text(u"AppFriendlyName") != u"默认应用程序 "_s + s.key->text(u"ServerComment"))
            continue;
        const QString page = s.path + u"\\index.html"_s;
        if (!fileExists(page, host.isEmpty() ? QString() : host + u"/index.html"_s)) {
            f.object = page;
            f.problem = u"默认页不存在"_s;
            add(f);
        }
    }
}

void Checker::checkAnonymousUsers() {
    QHash<QString, int> users; // lower-case account -> sites using it
    for (const Site& s : sites)
        ++users[lower(accountPart(s.anonymous))];
    for (const Site& s : sites) {
        if (s.anonymous.isEmpty())
            continue;
        const QString name = accountPart(s.anonymous);
        Finding f = about(Kind::AnonymousUser, s);
        f.object = name;
        const auto it = accounts.find(lower(name));
        if (it == accounts.end()) {
            f.problem = u"匿名用户不存在，访问者会得到 401"_s;
        } else if (it->flags & platform::userflags::AccountDisable) {
            f.problem = u"匿名用户已停用，访问者会得到 401"_s;
        } else if (accounts::AccountStore::hashPassword(it->salt, s.password) != it->hash) {
            f.problem = u"元数据库中的匿名用户密码与帐户密码不符，访问者会得到 401"_s;
            // Only the site's own account, used by no other site, may take the stored password.
            if (name.compare(s.comment, Qt::CaseInsensitive) == 0 && users.value(lower(name)) == 1) {
                f.repair = Repair::SyncAnonymousPassword;
                f.argument = it->name;
            }
        } else {
            continue;
        }
        add(f);
    }
}

void Checker::checkPools() {
    for (const Site& s : sites) {
        if (pools.contains(lower(s.pool)))
            continue;
        Finding f = about(Kind::MissingPool, s);
        f.object = u"AppPoolId = "_s + s.pool;
        f.problem = u"网站的应用程序池不存在"_s;
        f.repair = Repair::ResetPool;
        QStringList holders; // the keys of the site that name the pool
        for (const Key* k : {s.key, s.root})
            if (k && k->has(u"AppPoolId"))
                holders << k->cpath;
        f.argument = holders.join(u'\n');
        if (holders.isEmpty())
            f.repair = Repair::None; // inherited from the service: not the site's to change
        add(f);
    }
    std::vector<const Key*> unused;
    for (const Key* k : std::as_const(pools))
        if (!usedPools.contains(lower(k->name)) && k->name.compare(DefaultPool, Qt::CaseInsensitive) != 0)
            unused.push_back(k);
    for (const Key* k : unused)
        add({Kind::UnusedPool,
             {},
             k->name,
             k->cpath,
             u"没有网站使用这个应用程序池"_s,
             Repair::DeletePool,
             k->cpath});
}

void Checker::checkFtp() {
    QSet<QString> names;
    for (const Site& s : sites)
        names.insert(s.comment.toUpper());
    for (const Key* k : ftpDirs) {
        Finding f{Kind::FtpDirectory, {}, k->name, k->cpath, {}, Repair::None, {}};
        if (!names.contains(k->name.trimmed().toUpper())) {
            f.problem = u"FTP 目录的网站不存在"_s;
            f.repair = Repair::DeleteFtpDirectory;
            f.argument = k->cpath;
        } else if (const QString path = k->text(u"Path"); !folderExists(path, hostBelowRoot(path))) {
            f.object = path;
            f.problem = u"FTP 目录的文件夹不存在"_s;
        } else {
            continue;
        }
        add(f);
    }
}

void Checker::checkAccounts() {
    QSet<QString> used;
    for (const Site& s : sites)
        used.insert(lower(accountPart(s.anonymous)));
    for (const Key* k : ftpDirs)
        used.insert(lower(k->name.trimmed()));
    for (const Account& a : siteAccounts) {
        if (used.contains(lower(a.name)) || (a.flags & platform::userflags::AccountDisable))
            continue;
        add({Kind::UnusedAccount,
             {},
             {},
             a.name,
             u"velmorausers 中的帐户没有网站或 FTP 目录使用"_s,
             Repair::DisableAccount,
             a.name});
    }
}

void Checker::checkOrphanFolders() {
    if (!rootExists)
        return;
    QSet<QString> used;
    for (const Site& s : sites)
        used.insert(s.folder);
    for (const Key* k : ftpDirs)
        used.insert(folderUnderRoot(root, k->text(u"Path")));
    QStringList orphans;
    for (auto it = rootFolders.begin(); it != rootFolders.end(); ++it)
        if (!used.contains(it.key()) && QFileInfo(rootHost + u'/' + it.value()).isDir())
            orphans << it.value();
    orphans.sort(Qt::CaseInsensitive);
    for (const QString& name : orphans)
        add({Kind::OrphanFolder,
             {},
             {},
             root.toString() + u'\\' + name,
             u"主目录下的文件夹没有网站或 FTP 目录使用"_s,
             Repair::None,
             {}});
}

void Checker::checkAces() {
    const QString prefix = lower(root.toString());
    // The sites' own accounts: an account named like its site, serving as its anonymous user.
    QHash<QString, const Site*> ownAccount; // SID -> site
    QHash<QString, const Site*> folderSite; // lower-case folder under the root -> site
    for (const Site& s : sites) {
        if (!s.folder.isEmpty())
            folderSite.insert(s.folder, &s);
        const QString name = accountPart(s.anonymous);
        if (name.compare(s.comment, Qt::CaseInsensitive) != 0)
            continue;
        if (const auto it = accounts.find(lower(name)); it != accounts.end())
            ownAccount.insert(it->sid, &s);
    }
    auto st = m.db().prepare("SELECT path, deny, sid FROM aces WHERE sid <> '' AND (path = ?1 OR "
                             "substr(path, 1, length(?1) + 1) = ?1 || '\\') ORDER BY path, id");
    st.bind(1, prefix);
    QString path;
    QStringList deleted;
    QSet<QString> foreign;
    auto flush = [&] {
        if (path.isEmpty())
            return;
        const QString shown = m.files().displayPath(files::WinPath::parse(path));
        const QString folder = folderUnderRoot(root, path);
        const Site* owner = folderSite.value(folder);
        if (!deleted.isEmpty())
            add({Kind::DeletedAccountAce, owner ? owner->key->name : QString(),
                 owner ? owner->comment : QString(), shown,
                 u"权限项属于已删除的帐户："_s + deleted.join(u", "_s), Repair::RemoveAces,
                 deleted.join(u' ')});
        QStringList names(foreign.begin(), foreign.end());
        names.sort();
        for (const QString& name : names)
            add({Kind::ForeignAccountAce,
                 owner->key->name,
                 owner->comment,
                 shown,
                 u"网站文件夹授予了另一个网站的帐户 %1 权限"_s.arg(name),
                 Repair::None,
                 {}});
        deleted.clear();
        foreign.clear();
    };
    while (st.step()) {
        if (st.text(0) != path) {
            flush();
            path = st.text(0);
        }
        const QString sid = st.text(2);
        if (!sids.contains(sid)) {
            if (!deleted.contains(u'*' + sid))
                deleted << u'*' + sid;
            continue;
        }
        if (st.number(1) != 0)
            continue; // a deny takes nothing away from the folder's own site
        const Site* owner = folderSite.value(folderUnderRoot(root, path));
        const Site* granted = ownAccount.value(sid);
        if (owner && granted && granted != owner)
            foreign.insert(accountPart(granted->anonymous));
    }
    flush();
}

void Checker::checkRoot() {
    if (!rootExists) {
        add({Kind::RootNotSecured, {}, {}, root.toString(), u"主目录不存在"_s, Repair::None, {}});
        return;
    }
    bool worker = false;
    for (const accounts::Ace& a : m.files().explicitAces(root))
        if (!a.deny && a.sid == workerGroupSid && (a.mask & WorkerRights) == WorkerRights &&
            (a.flags & Inherits) == Inherits)
            worker = true;
    QStringList left;
    for (const accounts::Ace& a : m.files().effectiveAces(root)) {
        if (a.sid == UsersSid && !left.contains(u"Users"_s))
            left << u"Users"_s;
        if (a.sid == CreatorOwnerSid && !left.contains(u"CREATOR OWNER"_s))
            left << u"CREATOR OWNER"_s;
    }
    QStringList problems;
    if (!worker)
        problems << u"没有 IIS_WPG 的读取权限"_s;
    if (!left.isEmpty())
        problems << u"仍有 %1 的权限"_s.arg(left.join(u"、"_s));
    if (!problems.isEmpty())
        add({Kind::RootNotSecured,
             {},
             {},
             m.files().displayPath(root),
             u"主目录未按设置主目录时的方式加固："_s + problems.join(u"；"_s),
             Repair::SecureRoot,
             {}});
}

void Checker::checkBindings() {
    QHash<QString, std::vector<const Site*>> byBinding;
    QStringList order;
    for (const Site& s : sites) {
        const auto v = PropertyRecord::find(s.key->record, u"ServerBindings");
        if (!v)
            continue;
        QSet<QString> own; // a binding listed twice by one site is not shared
        for (const QString& b : v->toStringList()) {
            const QString normal = lower(b.trimmed());
            if (normal.isEmpty() || own.contains(normal))
                continue;
            own.insert(normal);
            auto& list = byBinding[normal];
            if (list.size() == 1)
                order << normal;
            list.push_back(&s);
        }
    }
    for (const QString& b : std::as_const(order)) {
        const auto& list = byBinding[b];
        QStringList numbers, names;
        for (const Site* s : list) {
            numbers << s->key->name;
            names << s->comment;
        }
        add({Kind::SharedBinding,
             numbers.join(u','),
             names.join(u','),
             b,
             u"%1 个网站使用同一个绑定，只有一个能启动"_s.arg(list.size()),
             Repair::None,
             {}});
    }
}

platform::Status Checker::run() {
    r.sitesRoot = sitesRoot(m);
    root = files::WinPath::parse(r.sitesRoot);
    if (!root.valid())
        return platform::Error{platform::hr::BadPathname, u"设置文件中的主目录无效：%1"_s.arg(r.sitesRoot)};
    Database::ReadScope scope(m.db());
    rootExists = m.files().isFolder(root);
    if (rootExists) {
        rootHost = m.files().hostPath(root);
        for (const QString& name : m.files().children(root))
            rootFolders.insert(lower(name), name);
    }
    readMetabase();
    readAccounts();
    if (!m.db().lastError().isEmpty() && keys.empty())
        return platform::Error{platform::hr::Fail, m.db().lastError()};
    checkFolders();
    checkAnonymousUsers();
    checkPools();
    checkFtp();
    checkAccounts();
    checkOrphanFolders();
    checkAces();
    checkRoot();
    checkBindings();
    std::stable_sort(r.findings.begin(), r.findings.end(), [](const Finding& a, const Finding& b) {
        if (a.kind != b.kind)
            return a.kind < b.kind;
        if (a.site.size() != b.site.size())
            return a.site.size() < b.site.size(); // numbers: shorter first
        if (a.site != b.site)
            return a.site < b.site;
        return a.object < b.object;
    });
    return {};
}

} // namespace

QString kindName(Kind kind) {
    switch (kind) {
    case Kind::MissingFolder:
        return u"missing-folder"_s;
    case Kind::AnonymousUser:
        return u"anonymous-user"_s;
    case Kind::MissingPool:
        return u"missing-pool"_s;
    case Kind::UnusedPool:
        return u"unused-pool"_s;
    case Kind::FtpDirectory:
        return u"ftp-directory"_s;
    case Kind::UnusedAccount:
        return u"unused-account"_s;
    case Kind::OrphanFolder:
        return u"orphan-folder"_s;
    case Kind::DeletedAccountAce:
        return u"deleted-account-entry"_s;
    case Kind::ForeignAccountAce:
        return u"foreign-account-entry"_s;
    case Kind::RootNotSecured:
        return u"root-not-secured"_s;
    case Kind::SharedBinding:
        return u"shared-binding"_s;
    }
    return {};
}

QString repairText(const Finding& f) {
    switch (f.repair) {
    case Repair::None:
        return u"仅报告"_s;
    case Repair::DeletePool:
        return u"删除应用程序池 "_s + f.object;
    case Repair::ResetPool:
        return u"AppPoolId 改回 DefaultAppPool"_s;
    case Repair::DeleteFtpDirectory:
        return u"删除 FTP 目录 "_s + f.object + u"（不删除文件夹）"_s;
    case Repair::RemoveAces:
        return u"icacls 删除 "_s + f.argument + u" 的权限项"_s;
    case Repair::SecureRoot:
        return u"重新加固主目录（设置主目录时的五条命令）"_s;
    case Repair::DisableAccount:
        return u"停用帐户（不删除）"_s;
    case Repair::SyncAnonymousPassword:
        return u"把网站自己的帐户 %1 的密码设为元数据库中的匿名用户密码"_s.arg(f.argument);
    }
    return {};
}

QString sitesRoot(machine::Machine& machine) {
    const QString fallback = u"D:\\WebRoot"_s;
    QFile f(machine.hostPath(u"C:\\WINDOWS\\system32\\drivers\\config.ini"_s));
    if (!f.open(QIODevice::ReadOnly))
        return fallback;
    bool inSection = false;
    for (const QString& raw : platform::fromAnsi(f.readAll()).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            inSection =
                line.mid(1, line.indexOf(u']') - 1).trimmed().compare(u"HomePath"_s, Qt::CaseInsensitive) ==
                0;
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (inSection && eq > 0 && line.left(eq).trimmed().compare(u"PATH"_s, Qt::CaseInsensitive) == 0) {
            const QString value = line.mid(eq + 1).trimmed();
            return value.isEmpty() ? fallback : value;
        }
    }
    return fallback;
}

platform::Outcome<Result> run(machine::Machine& machine) {
    Result result;
    Checker checker(machine, result);
    if (auto s = checker.run(); !s)
        return s.error();
    return result;
}

} // namespace emulation::check
