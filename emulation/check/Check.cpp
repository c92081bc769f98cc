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
#include <array>
#include <deque>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The properties the check reads from a key, each read in the one pass over the key's record.
enum Prop : std::uint8_t {
    ServerComment,
    AppPoolId,
    AnonymousUserName,
    AnonymousUserPass,
    Path,
    AppFriendlyName,
    ServerBindings,
    PropCount,
};
constexpr std::array<QStringView, PropCount> PropNames = {
    u"ServerComment", u"AppPoolId",       u"AnonymousUserName", u"AnonymousUserPass",
    u"Path",          u"AppFriendlyName", u"ServerBindings",
};

// The key classes the check tells apart (KeyType compared exactly).
enum class Class : std::uint8_t { Other, WebServer, ApplicationPool, FtpServer, FtpVirtualDir };

Class classOf(QByteArrayView keyType) {
    if (keyType == "IIsWebServer")
        return Class::WebServer;
    if (keyType == "IIsApplicationPool")
        return Class::ApplicationPool;
    if (keyType == "IIsFtpServer")
        return Class::FtpServer;
    if (keyType == "IIsFtpVirtualDir")
        return Class::FtpVirtualDir;
    return Class::Other;
}

// A metabase key with the properties the check reads (the first of a name in the record, as a
// lookup by name finds it); the rest of the record is not kept, nor its path (cpathOf reads it when
// a finding names it).
struct Key {
    std::int64_t id = 0;
    std::int64_t parent = 0;
    QString name;
    Class cls = Class::Other;
    std::uint8_t present = 0;                  // a bit per Prop the record holds
    std::array<QString, ServerBindings> texts; // the text of each present Prop but ServerBindings
    QStringList bindings;                      // ServerBindings

    bool has(Prop p) const { return present & (1u << p); }
    QString text(Prop p) const { return texts[p]; }
    void read(QStringView record) {
        PropertyRecord::forEach(record, [&](QStringView property, int type, QStringView value) {
            for (int p = 0; p < PropCount; ++p) {
                if (has(Prop(p)) || property.size() != PropNames[p].size() ||
                    !metabase::sameIgnoringCase(property, PropNames[p]))
                    continue;
                present |= std::uint8_t(1u << p);
                if (p != ServerBindings && type == PropertyRecord::StringType &&
                    !value.contains(PropertyRecord::Escape))
                    texts[std::size_t(p)] = value.toString(); // a plain text, as decodeValue gives it
                else if (const platform::MetaValue v = PropertyRecord::decodeValue(type, value);
                         p == ServerBindings)
                    bindings = v.toStringList();
                else
                    texts[std::size_t(p)] = v.toString();
                break;
            }
            return false;
        });
    }
};

struct Site {
    const Key* key;
    const Key* root = nullptr; // the ROOT virtual directory, when there is one
    QString comment;           // ServerComment, trimmed
    QString anonymous;         // the anonymous user as the root reads it (inherited)
    QString account;           // the account part of it, lower case
    QString password;
    QString pool;
    QString path;
    QString folder;         // the name of its folder directly under the sites root, lower case; or empty
    QString relative;       // its path relative to the sites root's host folder, when the folder is listed
    qsizetype user = -1;    // its anonymous user's account (index in the users), or -1
    bool poolExists = true; // whether its pool is one of the pools
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

// A user name (lower case) with the account that answers to it and the sites using it.
struct AccountUse {
    qsizetype user = -1; // index in the users: the last account of the name
    int sites = 0;       // sites whose anonymous user has the name
};

struct Pool {
    const Key* key;
    bool used = false;
};

struct RootFolder {
    QString listed; // the name as the listing spells it
    bool used = false;
};

// The first name below the sites root of a Windows path under it, lower case; empty otherwise.
QString folderUnderRoot(const files::WinPath& root, const files::WinPath& p) {
    if (!p.valid() || p.drive != root.drive || p.names.size() <= root.names.size())
        return {};
    for (qsizetype i = 0; i < root.names.size(); ++i)
        if (p.names[i].compare(root.names[i], Qt::CaseInsensitive) != 0)
            return {};
    return lower(p.names[root.names.size()]);
}

QString folderUnderRoot(const files::WinPath& root, const QString& path) {
    return folderUnderRoot(root, files::WinPath::parse(path));
}

class Checker {
public:
    Checker(machine::Machine& machine, Result& result) : m(machine), r(result) {}
    ~Checker() {
        if (rootFd >= 0)
            ::close(rootFd);
    }
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    platform::Status run();

private:
    void readMetabase();
    void listRoot();
    void readAccounts();
    // Counts the sites of each account, and gives each site its anonymous user's account.
    void useAccounts();
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
    // The path of a Windows path below the sites root relative to the root's host folder, through
    // its folder's name as the listing spells it; empty when the path is not below the root or its
    // folder is not listed.
    QString relativeBelowRoot(const files::WinPath& p) const;
    // The key's path as written, read when a finding names it.
    QString cpathOf(const Key* key) const {
        auto st = m.db().prepare("SELECT cpath FROM mb_keys WHERE id = ?1");
        st.bind(1, key->id);
        return st.step() ? st.text(0) : QString();
    }
    // Marks a folder directly under the sites root (lower case) as used by a site or FTP directory.
    void useRootFolder(const QString& folder) {
        if (const auto it = rootFolders.find(folder); it != rootFolders.end())
            it->used = true;
    }
    // Marks the pool of a name as used; false when there is no such pool.
    bool usePool(const QString& name) {
        const auto it = pools.find(lower(name));
        if (it == pools.end())
            return false;
        it->used = true;
        return true;
    }
    // The file type (S_IFDIR, S_IFREG, ...) of what a path relative to the sites root's host folder
    // names, links followed; 0 when there is nothing.
    mode_t typeBelowRoot(const QString& relative) const;
    // Whether a folder exists, by its host path below the sites root first, by the machine's own
    // lookup (which matches names without regard to case) when that fails.
    bool folderExists(const QString& windowsPath, const QString& relative) const {
        if (!relative.isEmpty() && typeBelowRoot(relative) == S_IFDIR)
            return true;
        const files::WinPath p = files::WinPath::parse(windowsPath);
        return p.valid() && m.files().isFolder(p);
    }
    bool fileExists(const QString& windowsPath, const QString& relative) const {
        if (!relative.isEmpty() && typeBelowRoot(relative) == S_IFREG)
            return true;
        const files::WinPath p = files::WinPath::parse(windowsPath);
        return p.valid() && m.files().exists(p) && !m.files().isFolder(p);
    }
    bool folderExists(const QString& windowsPath) const {
        const files::WinPath p = files::WinPath::parse(windowsPath);
        return folderExists(windowsPath,
                            folderUnderRoot(root, p).isEmpty() ? QString() : relativeBelowRoot(p));
    }

    machine::Machine& m;
    Result& r;
    files::WinPath root;
    QString rootHost;
    int rootFd = -1; // the sites root's host folder, open for lookups below it
    bool rootExists = false;
    QHash<QString, RootFolder> rootFolders; // lower case -> as listed
    std::deque<Key> keys;
    std::vector<Site> sites;
    QHash<QString, Pool> pools;          // lower-case name -> key
    std::vector<const Key*> ftpDirs;     // under the default FTP site's root
    std::vector<Account> users;          // every user account, in the database's order
    QHash<QString, AccountUse> accounts; // lower-case user name -> account and its use
    std::vector<qsizetype> siteAccounts; // the users of velmorausers (indexes in users)
    QString workerGroupSid;
};

QString Checker::relativeBelowRoot(const files::WinPath& p) const {
    if (!rootExists || !p.valid() || p.names.size() <= root.names.size())
        return {};
    const auto it = rootFolders.find(lower(p.names[root.names.size()]));
    if (it == rootFolders.end())
        return {};
    QString relative = it->listed;
    for (qsizetype i = root.names.size() + 1; i < p.names.size(); ++i)
        relative += u'/' + p.names[i];
    return relative;
}

mode_t Checker::typeBelowRoot(const QString& relative) const {
    struct stat st {};
    const int found = rootFd >= 0 ? ::fstatat(rootFd, QFile::encodeName(relative).constData(), &st, 0)
                                  : ::stat(QFile::encodeName(rootHost + u'/' + relative).constData(), &st);
    return found == 0 ? st.st_mode & S_IFMT : 0;
}

void Checker::listRoot() {
    // One pass of readdir over the root's open folder: every entry but "." and "..", as the
    // machine lists a folder, in no particular order.
    const int fd = rootFd >= 0 ? ::dup(rootFd) : -1; // the listing takes its descriptor over
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    bool plain = dir != nullptr;
    if (dir) {
        while (const dirent* e = ::readdir(dir)) {
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                continue;
            const QString name = QFile::decodeName(n);
            const qsizetype before = rootFolders.size();
            RootFolder& folder = rootFolders[lower(name)];
            if (rootFolders.size() == before) {
                plain = false; // names that differ only in case: the machine's sorted listing decides
                break;
            }
            folder.listed = name;
        }
        ::closedir(dir);
    } else if (fd >= 0) {
        ::close(fd);
    }
    if (plain)
        return;
    rootFolders.clear();
    for (const QString& name : m.files().children(root))
        rootFolders.insert(lower(name), {name});
}

void Checker::readMetabase() {
    Database& db = m.db();
    auto st =
        db.prepare("SELECT id, parent, cpath, name, keytype, props FROM mb_keys WHERE path = '/lm/w3svc' "
                   "OR substr(path, 1, 10) = '/lm/w3svc/' OR substr(path, 1, 13) = '/lm/msftpsvc/'");
    const Key* w3svc = nullptr;
    const Key* ftpSite = nullptr;
    while (st.step()) {
        Key& k = keys.emplace_back();
        k.id = st.number(0);
        k.parent = st.isNull(1) ? 0 : st.number(1);
        k.name = st.text(3);
        k.cls = classOf(st.utf8(4));
        k.read(QString::fromUtf8(st.utf8(5)));
        // A path of more bytes than nine characters can take is not the service's.
        if (const QByteArrayView cpath = st.utf8(2);
            cpath.size() <= 36 && QString::fromUtf8(cpath).compare(u"/LM/W3SVC"_s, Qt::CaseInsensitive) == 0)
            w3svc = &k;
        else if (k.cls == Class::FtpServer && k.text(ServerComment) == DefaultFtpSite)
            ftpSite = &k; // the last one wins, as the window's start-up finds it
    }
    if (!w3svc)
        return;
    const Key* poolsKey = nullptr;
    sites.reserve(std::size_t(
        std::count_if(keys.begin(), keys.end(), [&](const Key& k) { return k.parent == w3svc->id; })));
    for (const Key& k : keys) {
        if (k.parent != w3svc->id)
            continue;
        if (k.cls == Class::WebServer) {
            sites.push_back(
                {&k, nullptr, k.text(ServerComment).trimmed(), {}, {}, {}, {}, {}, {}, {}, -1, true});
        }
        if (k.name.compare(u"AppPools"_s, Qt::CaseInsensitive) == 0)
            poolsKey = &k;
    }
    // The sites by their key's id, for finding the site of a ROOT.
    std::vector<std::pair<std::int64_t, std::size_t>> siteOf;
    siteOf.reserve(sites.size());
    for (std::size_t i = 0; i < sites.size(); ++i)
        siteOf.emplace_back(sites[i].key->id, i);
    std::sort(siteOf.begin(), siteOf.end());
    auto siteWithKey = [&](std::int64_t id) -> Site* {
        const auto it = std::lower_bound(siteOf.begin(), siteOf.end(), std::pair{id, std::size_t(0)});
        return it != siteOf.end() && it->first == id ? &sites[it->second] : nullptr;
    };
    const Key* ftpRoot = nullptr;
    std::vector<const Key*> naming; // the keys that name a pool, outside the pools themselves
    for (const Key& k : keys) {
        const bool isRoot = k.name.compare(u"ROOT"_s, Qt::CaseInsensitive) == 0;
        if (Site* site = isRoot ? siteWithKey(k.parent) : nullptr)
            site->root = &k;
        else if (poolsKey && k.parent == poolsKey->id && k.cls == Class::ApplicationPool)
            pools.insert(lower(k.name), {&k});
        else if (ftpSite && k.parent == ftpSite->id && isRoot)
            ftpRoot = &k;
        if (k.has(AppPoolId) && !(poolsKey && k.parent == poolsKey->id))
            naming.push_back(&k);
    }
    // Every pool named below W3SVC, outside the pools themselves, is in use.
    for (const Key* k : naming)
        usePool(k->text(AppPoolId));
    if (ftpRoot)
        for (const Key& k : keys)
            if (k.parent == ftpRoot->id && k.cls == Class::FtpVirtualDir)
                ftpDirs.push_back(&k);
    auto inherited = [&](const Site& s, Prop property) {
        for (const Key* k : {s.root, s.key, w3svc})
            if (k && k->has(property))
                return k->text(property);
        return QString();
    };
    for (Site& s : sites) {
        s.anonymous = inherited(s, AnonymousUserName);
        s.account = lower(accountPart(s.anonymous));
        s.password = inherited(s, AnonymousUserPass);
        s.pool = inherited(s, AppPoolId);
        if (s.pool.isEmpty())
            s.pool = DefaultPool;
        s.poolExists = usePool(s.pool);
        s.path = s.root ? s.root->text(Path) : QString();
        const files::WinPath p = files::WinPath::parse(s.path);
        s.folder = folderUnderRoot(root, p);
        if (!s.folder.isEmpty()) {
            s.relative = relativeBelowRoot(p);
            useRootFolder(s.folder);
        }
    }
    for (const Key* k : ftpDirs)
        useRootFolder(folderUnderRoot(root, k->text(Path)));
}

void Checker::readAccounts() {
    Database& db = m.db();
    // The members of velmorausers, in the order of their SIDs' bytes.
    std::vector<QByteArray> members;
    auto group = db.prepare("SELECT member_sid FROM members WHERE group_sid IN (SELECT sid FROM principals "
                            "WHERE name = ?1) ORDER BY member_sid");
    group.bind(1, SiteAccountGroup);
    while (group.step())
        members.push_back(group.utf8(0).toByteArray());
    auto st = db.prepare("SELECT sid, name, kind, flags, salt, hash FROM principals");
    while (st.step()) {
        const QString name = st.text(1);
        if (st.utf8(2) == "user") {
            const qsizetype index = qsizetype(users.size());
            users.push_back(
                {st.text(0), name, static_cast<std::uint32_t>(st.number(3)), st.text(4), st.text(5)});
            accounts[lower(name)].user = index;
            // The group's members that are users; their order does not matter, the findings are
            // sorted.
            const QByteArrayView sid = st.utf8(0);
            if (const auto it = std::lower_bound(members.begin(), members.end(), sid,
                                                 [](const QByteArray& a, QByteArrayView b) { return a < b; });
                it != members.end() && *it == sid)
                siteAccounts.push_back(index);
        }
        if (name.compare(u"IIS_WPG"_s, Qt::CaseInsensitive) == 0)
            workerGroupSid = st.text(0);
    }
}

void Checker::useAccounts() {
    for (Site& s : sites)
        if (const auto it = accounts.find(s.account); it != accounts.end()) {
            ++it->sites;
            s.user = it->user;
        }
}

void Checker::checkFolders() {
    for (const Site& s : sites) {
        if (!s.root || s.path.isEmpty()) {
            Finding f = about(Kind::MissingFolder, s);
            f.object = cpathOf(s.key) + u"/ROOT"_s;
            f.problem = u"网站没有主目录"_s;
            add(f);
            continue;
        }
        if (!folderExists(s.path, s.relative)) {
            Finding f = about(Kind::MissingFolder, s);
            f.object = s.path;
            f.problem = u"主目录不存在"_s;
            add(f);
            continue;
        }
        // A site the window made carries its friendly name and gets the default page.
        if (!s.root->has(AppFriendlyName) ||
            s.root->text(AppFriendlyName) != u"默认应用程序 "_s + s.key->text(ServerComment))
            continue;
        const QString page = s.path + u"\\index.html"_s;
        if (!fileExists(page, s.relative.isEmpty() ? QString() : s.relative + u"/index.html"_s)) {
            Finding f = about(Kind::MissingFolder, s);
            f.object = page;
            f.problem = u"默认页不存在"_s;
            add(f);
        }
    }
}

void Checker::checkAnonymousUsers() {
    for (const Site& s : sites) {
        if (s.anonymous.isEmpty())
            continue;
        const QString name = accountPart(s.anonymous);
        QString problem;
        std::optional<QString> own; // the site's own account, which may take the stored password
        if (s.user < 0) {
            problem = u"匿名用户不存在，访问者会得到 401"_s;
        } else if (const Account& a = users[std::size_t(s.user)];
                   a.flags & platform::userflags::AccountDisable) {
            problem = u"匿名用户已停用，访问者会得到 401"_s;
        } else if (accounts::AccountStore::hashPassword(a.salt, s.password) != a.hash) {
            problem = u"元数据库中的匿名用户密码与帐户密码不符，访问者会得到 401"_s;
            // Only the site's own account, used by no other site, may take the stored password.
            if (name.compare(s.comment, Qt::CaseInsensitive) == 0 && accounts.value(s.account).sites == 1)
                own = a.name;
        } else {
            continue;
        }
        Finding f = about(Kind::AnonymousUser, s);
        f.object = name;
        f.problem = problem;
        if (own) {
            f.repair = Repair::SyncAnonymousPassword;
            f.argument = *own;
        }
        add(f);
    }
}

void Checker::checkPools() {
    for (const Site& s : sites) {
        if (s.poolExists)
            continue;
        Finding f = about(Kind::MissingPool, s);
        f.object = u"AppPoolId = "_s + s.pool;
        f.problem = u"网站的应用程序池不存在"_s;
        f.repair = Repair::ResetPool;
        QStringList holders; // the keys of the site that name the pool
        for (const Key* k : {s.key, s.root})
            if (k && k->has(AppPoolId))
                holders << cpathOf(k);
        f.argument = holders.join(u'\n');
        if (holders.isEmpty())
            f.repair = Repair::None; // inherited from the service: not the site's to change
        add(f);
    }
    std::vector<const Key*> unused;
    for (const Pool& p : std::as_const(pools))
        if (!p.used && p.key->name.compare(DefaultPool, Qt::CaseInsensitive) != 0)
            unused.push_back(p.key);
    for (const Key* k : unused)
        add({Kind::UnusedPool,
             {},
             k->name,
             cpathOf(k),
             u"没有网站使用这个应用程序池"_s,
             Repair::DeletePool,
             cpathOf(k)});
}

void Checker::checkFtp() {
    if (ftpDirs.empty())
        return;
    QSet<QString> names;
    for (const Site& s : sites)
        names.insert(s.comment.toUpper());
    for (const Key* k : ftpDirs) {
        if (!names.contains(k->name.trimmed().toUpper())) {
            const QString cpath = cpathOf(k);
            add({Kind::FtpDirectory,
                 {},
                 k->name,
                 cpath,
                 u"FTP 目录的网站不存在"_s,
                 Repair::DeleteFtpDirectory,
                 cpath});
        } else if (const QString path = k->text(Path); !folderExists(path)) {
            add({Kind::FtpDirectory, {}, k->name, path, u"FTP 目录的文件夹不存在"_s, Repair::None, {}});
        }
    }
}

void Checker::checkAccounts() {
    QSet<QString> ftpNames;
    for (const Key* k : ftpDirs)
        ftpNames.insert(lower(k->name.trimmed()));
    for (const qsizetype index : siteAccounts) {
        const Account& a = users[std::size_t(index)];
        if (a.flags & platform::userflags::AccountDisable)
            continue;
        if (const QString name = lower(a.name); accounts.value(name).sites > 0 || ftpNames.contains(name))
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
    QStringList orphans;
    for (const RootFolder& folder : std::as_const(rootFolders))
        if (!folder.used && typeBelowRoot(folder.listed) == S_IFDIR)
            orphans << folder.listed;
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
    // The entries on the root and below it, in the order of the index on their path (whose range
    // holds every path that starts with the root's), each with whether its account still exists.
    auto st = m.db().prepare(
        "SELECT a.path, a.deny, a.sid, p.sid IS NOT NULL FROM aces a LEFT JOIN principals p ON p.sid = a.sid "
        "WHERE a.sid <> '' AND a.path >= ?1 AND a.path < ?1 || ']' AND (a.path = ?1 OR "
        "substr(a.path, 1, length(?1) + 1) = ?1 || '\\') ORDER BY a.path, a.id");
    st.bind(1, prefix);
    // The sites' own accounts (an account named like its site, serving as its anonymous user) and
    // the sites' folders, gathered at the first entry.
    QHash<QString, const Site*> ownAccount; // SID -> site
    QHash<QString, const Site*> folderSite; // lower-case folder under the root -> site
    bool gathered = false;
    auto gather = [&] {
        gathered = true;
        for (const Site& s : sites) {
            if (!s.folder.isEmpty())
                folderSite.insert(s.folder, &s);
            if (s.user >= 0 && accountPart(s.anonymous).compare(s.comment, Qt::CaseInsensitive) == 0)
                ownAccount.insert(users[std::size_t(s.user)].sid, &s);
        }
    };
    QString path;
    QByteArray pathBytes;        // the path as the database holds it
    const Site* owner = nullptr; // the site whose folder holds the path
    QStringList deleted;
    QSet<QString> foreign;
    auto flush = [&] {
        if (path.isEmpty() || (deleted.isEmpty() && foreign.isEmpty()))
            return;
        const QString shown = m.files().displayPath(files::WinPath::parse(path));
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
        if (!gathered)
            gather();
        if (st.utf8(0) != QByteArrayView(pathBytes)) {
            flush();
            pathBytes = st.utf8(0).toByteArray();
            path = QString::fromUtf8(pathBytes);
            owner = folderSite.value(folderUnderRoot(root, path));
        }
        const QString sid = st.text(2);
        if (st.number(3) == 0) {
            if (!deleted.contains(u'*' + sid))
                deleted << u'*' + sid;
            continue;
        }
        if (st.number(1) != 0)
            continue; // a deny takes nothing away from the folder's own site
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
    // A binding with the first site that lists it and, once a second one does, its group.
    struct Use {
        const Site* first;
        qsizetype group = -1;
    };
    QHash<QString, Use> byBinding;
    std::vector<std::pair<QString, std::vector<const Site*>>> shared; // in the order they became shared
    QStringList own; // the site's bindings so far: one listed twice by one site is not shared
    for (const Site& s : sites) {
        own.clear();
        for (const QString& b : s.key->bindings) {
            const QString normal = lower(b.trimmed());
            if (normal.isEmpty() || own.contains(normal))
                continue;
            own << normal;
            const auto it = byBinding.find(normal);
            if (it == byBinding.end()) {
                byBinding.insert(normal, {&s});
            } else if (it->group < 0) {
                it->group = qsizetype(shared.size());
                shared.push_back({normal, {it->first, &s}});
            } else {
                shared[std::size_t(it->group)].second.push_back(&s);
            }
        }
    }
    for (const auto& [b, list] : shared) {
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
        rootFd = ::open(QFile::encodeName(rootHost).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        listRoot();
    }
    readAccounts();
    readMetabase();
    useAccounts();
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
