#include "emulation/files/FileSystem.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/machine/Database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace emulation::files {

using accounts::AccountStore;
using accounts::Ace;
namespace aceflags = accounts::aceflags;
using accounts::grantedRights;
using accounts::inheritedFlags;
namespace rights = accounts::rights;
using machine::Database;

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;
using platform::Status;

FileSystem::FileSystem(Database& db, AccountStore& accounts, QString drivesFolder)
    : m_db(db), m_accounts(accounts), m_drives(std::move(drivesFolder)) {}

QString FileSystem::key(const WinPath& path) {
    return path.toString().toLower();
}

QString FileSystem::hostPath(const QString& windowsPath) const {
    return hostPathOf(m_drives, windowsPath);
}

QString FileSystem::hostPath(const WinPath& path) const {
    return hostPathOf(m_drives, path);
}

WinPath FileSystem::nearestExisting(const WinPath& path) const {
    qsizetype existing = 0;
    hostPathOf(m_drives, path, &existing);
    WinPath out = path;
    out.names = path.names.first(existing);
    return out;
}

QString fserr::problemText(const WinPath& path) {
    switch (path.problem) {
    case WinPath::Problem::None:
        return path.drive.isNull() ? BadSyntax : QString();
    case WinPath::Problem::TooLong:
        return TooLong;
    case WinPath::Problem::Device:
        return FileNotFound;
    case WinPath::Problem::BadName:
        break;
    }
    return BadSyntax;
}

bool FileSystem::isFolder(const WinPath& path) const {
    const QString host = hostPath(path);
    return !host.isEmpty() && QFileInfo(host).isDir();
}

bool FileSystem::exists(const WinPath& path) const {
    const QString host = hostPath(path);
    return !host.isEmpty() && QFileInfo::exists(host);
}

QString FileSystem::displayPath(const WinPath& path) const {
    const QString host = hostPath(path);
    const QString base = m_drives + u'/' + path.drive;
    if (host.isEmpty() || !host.startsWith(base))
        return path.toString();
    QString rest = host.mid(base.size());
    rest.replace(u'/', u'\\');
    return QString(path.drive) + u':' + (rest.isEmpty() ? u"\\"_s : rest);
}

QStringList FileSystem::children(const WinPath& folder) const {
    return QDir(hostPath(folder))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                   QDir::Name | QDir::IgnoreCase | QDir::DirsFirst);
}

std::vector<Ace> FileSystem::explicitAces(const WinPath& path) {
    std::vector<Ace> out;
    // The row with an empty account is the mark of a protected list, not an entry.
    auto st =
        m_db.prepare("SELECT deny, sid, mask, flags FROM aces WHERE path = ?1 AND sid <> '' ORDER BY id");
    st.bind(1, key(path));
    while (st.step())
        out.push_back({st.number(0) != 0, st.text(1), static_cast<std::uint32_t>(st.number(2)),
                       static_cast<std::uint32_t>(st.number(3))});
    return out;
}

void FileSystem::setExplicitAces(const WinPath& path, const std::vector<Ace>& aces) {
    Database::Transaction tx(m_db);
    auto clear = m_db.prepare("DELETE FROM aces WHERE path = ?1 AND sid <> ''");
    clear.bind(1, key(path));
    clear.run();
    // Stored in canonical order: deny entries before allow entries, otherwise as given.
    std::vector<Ace> ordered = aces;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Ace& a, const Ace& b) { return a.deny && !b.deny; });
    for (const Ace& ace : ordered) {
        auto st = m_db.prepare("INSERT INTO aces(path, deny, sid, mask, flags) VALUES (?1, ?2, ?3, ?4, ?5)");
        st.bind(1, key(path)).bind(2, ace.deny ? 1 : 0).bind(3, ace.sid);
        st.bind(4, static_cast<std::int64_t>(ace.mask)).bind(5, static_cast<std::int64_t>(ace.flags));
        st.run();
    }
    tx.commit();
}

bool FileSystem::editExplicitAces(const WinPath& path, const std::function<void(std::vector<Ace>&)>& edit) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return false;
    std::vector<Ace> aces = explicitAces(path);
    edit(aces);
    setExplicitAces(path, aces);
    return tx.commit();
}

bool FileSystem::isProtected(const WinPath& path) {
    auto st = m_db.prepare("SELECT 1 FROM aces WHERE path = ?1 AND sid = ''");
    st.bind(1, key(path));
    return st.step();
}

void FileSystem::setProtected(const WinPath& path, bool isProtected) {
    auto st = isProtected ? m_db.prepare("INSERT INTO aces(path, deny, sid, mask, flags) "
                                         "SELECT ?1, 0, '', 0, 0 WHERE NOT EXISTS "
                                         "(SELECT 1 FROM aces WHERE path = ?1 AND sid = '')")
                          : m_db.prepare("DELETE FROM aces WHERE path = ?1 AND sid = ''");
    st.bind(1, key(path));
    st.run();
}

void FileSystem::forgetAces(const WinPath& path) {
    auto st = m_db.prepare("DELETE FROM aces WHERE path = ?1 OR substr(path, 1, length(?2)) = ?2");
    const QString k = key(path);
    st.bind(1, k).bind(2, k.endsWith(u'\\') ? k : k + u'\\');
    st.run();
}

void FileSystem::moveAces(const WinPath& from, const WinPath& to) {
    const QString k = key(from), target = key(to);
    if (k == target) // another letter case names the same object
        return;
    const QString below = k.endsWith(u'\\') ? k : k + u'\\';
    // Entries already at the target belong to what the move replaced.
    forgetAces(to);
    auto st = m_db.prepare("UPDATE aces SET path = ?3 || substr(path, length(?1) + 1) "
                           "WHERE path = ?1 OR substr(path, 1, length(?2)) = ?2");
    st.bind(1, k).bind(2, below).bind(3, target);
    st.run();
}

std::vector<Ace> FileSystem::effectiveAces(const WinPath& path) {
    std::vector<Ace> explicitDeny, explicitAllow, inheritedDeny, inheritedAllow;
    for (const Ace& ace : explicitAces(path))
        (ace.deny ? explicitDeny : explicitAllow).push_back(ace);
    const bool folder = path.names.isEmpty() || isFolder(path);
    WinPath ancestor = path;
    // A protected list takes nothing from its ancestors; a protected ancestor passes on only its own.
    bool stop = isProtected(path);
    for (int depth = 1; !stop && !ancestor.names.isEmpty(); ++depth) {
        ancestor.names.removeLast();
        for (Ace ace : explicitAces(ancestor)) {
            auto flags = inheritedFlags(ace.flags, depth, folder);
            if (!flags)
                continue;
            if (ace.sid == u"S-1-3-0"_s || ace.sid == u"S-1-3-1"_s) {
                // CREATOR OWNER and CREATOR GROUP stand for whoever creates an object below: on
                // a folder they only pass on; on a file they become its owner, which is not kept.
                if (!folder)
                    continue;
                *flags |= aceflags::InheritOnly;
            }
            ace.flags = *flags;
            (ace.deny ? inheritedDeny : inheritedAllow).push_back(ace);
        }
        stop = isProtected(ancestor);
    }
    std::vector<Ace> out;
    for (auto* part : {&explicitDeny, &explicitAllow, &inheritedDeny, &inheritedAllow})
        out.insert(out.end(), part->begin(), part->end());
    return out;
}

std::uint32_t FileSystem::rightsOf(const QString& sid, const WinPath& path) {
    return grantedRights(effectiveAces(path), m_accounts.tokenOf(sid));
}

QString FileSystem::operatorSid() const {
    return m_accounts.machineSid() + u"-500"_s;
}

std::uint32_t FileSystem::operatorRights(const WinPath& path) {
    return rightsOf(operatorSid(), path);
}

Outcome<bool> FileSystem::EntryExists(const QString& path) {
    const WinPath p = WinPath::parse(path);
    if (p.problem == WinPath::Problem::TooLong)
        return Error{fserr::TooLongHr, fserr::TooLong};
    if (!p.valid() || p.names.isEmpty())
        return Error{platform::hr::BadPathname, fserr::BadSyntax};
    WinPath folder = p;
    folder.names.removeLast();
    if (!isFolder(folder))
        return Error{platform::hr::PathNotFound, fserr::PathNotFound};
    if (!(operatorRights(folder) & rights::ReadData))
        return Error{platform::hr::AccessDenied, fserr::AccessDenied};
    const QString name = p.names.last();
    const QStringList entries = children(folder);
    return std::any_of(entries.begin(), entries.end(),
                       [&](const QString& e) { return e.compare(name, Qt::CaseInsensitive) == 0; });
}

bool FileSystem::FileExists(const QString& path) {
    const WinPath p = WinPath::parse(path);
    return p.valid() && QFileInfo(hostPath(p)).isFile();
}

bool FileSystem::IsFolder(const QString& path) {
    const WinPath p = WinPath::parse(path);
    return p.valid() && isFolder(p);
}

Status FileSystem::ClearAttributes(const QString& path) {
    const WinPath p = WinPath::parse(path);
    if (p.problem == WinPath::Problem::TooLong)
        return Error{fserr::TooLongHr, fserr::TooLong};
    if (!p.valid() || !exists(p))
        return Error{platform::hr::PathNotFound, fserr::PathNotFound};
    // Attributes are not kept by the drives; the file becomes writable for its owner.
    QFile::setPermissions(hostPath(p), QFile::permissions(hostPath(p)) | QFileDevice::WriteOwner);
    return {};
}

namespace {

// Deletes an entry and what lies below it, as the shell's delete does it: each entry needs DELETE
// on itself or FILE_DELETE_CHILD on its folder, and a folder must be listed to be emptied. An
// entry the operator may not delete stays, and so do the folders above it. False when anything
// stayed.
bool deleteEntry(FileSystem& fs, const WinPath& path) {
    const QString host = fs.hostPath(path);
    const QFileInfo info(host);
    const bool folder = info.isDir() && !info.isSymLink();
    bool emptied = true;
    if (folder) {
        if (!(fs.operatorRights(path) & rights::ReadData))
            return false;
        for (const QString& name : fs.children(path)) {
            WinPath child = path;
            child.names << name;
            emptied = deleteEntry(fs, child) && emptied;
        }
    }
    if (!emptied)
        return false;
    WinPath parent = path;
    parent.names.removeLast();
    if (!(fs.operatorRights(path) & rights::Delete) && !(fs.operatorRights(parent) & rights::DeleteChild))
        return false;
    if (!(folder ? QDir().rmdir(host) : QFile::remove(host)))
        return false;
    fs.forgetAces(path);
    return true;
}

} // namespace

Status FileSystem::DeleteTree(const QString& path) {
    const WinPath p = WinPath::parse(path);
    if (p.problem == WinPath::Problem::TooLong)
        return Error{fserr::TooLongHr, fserr::TooLong};
    if (!p.valid() || p.names.isEmpty())
        return Error{platform::hr::AccessDenied, fserr::AccessDenied}; // never a drive root
    if (!exists(p))
        return Error{platform::hr::PathNotFound, fserr::PathNotFound};
    if (!deleteEntry(*this, p))
        return Error{platform::hr::AccessDenied, fserr::AccessDenied};
    return {};
}

} // namespace emulation::files
