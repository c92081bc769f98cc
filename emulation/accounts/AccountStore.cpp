#include "emulation/accounts/AccountStore.h"

#include "emulation/machine/Database.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <algorithm>

namespace emulation::accounts {

using machine::Database;
using machine::Statement;

using namespace Qt::Literals::StringLiterals;
using platform::Error;
using platform::Outcome;
using platform::Status;

QString AccountStore::hashPassword(const QString& salt, const QString& password) {
    return QString::fromLatin1(
        QCryptographicHash::hash((salt + password).toUtf8(), QCryptographicHash::Sha256).toHex());
}

namespace {

QString newSalt() {
    QByteArray bytes(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), 4);
    return QString::fromLatin1(bytes.toHex());
}

// The database stayed locked by another process for longer than the wait allows.
Error busy() {
    return Error{0x800700AA, u"请求的资源在使用中。"_s};
}

Principal principalFrom(Statement& st) {
    Principal p;
    p.sid = st.text(0);
    p.name = st.text(1);
    p.domain = st.text(2);
    p.kind = st.text(3);
    p.fullName = st.text(4);
    p.comment = st.text(5);
    p.flags = static_cast<std::uint32_t>(st.number(6));
    return p;
}

} // namespace

AccountStore::AccountStore(Database& db, QString computerName)
    : m_db(db), m_computer(std::move(computerName)) {}

QString AccountStore::machineSid() const {
    // The SID is made once, at installation, and a new computer name keeps it: it is the
    // built-in Administrator's without its relative identifier.
    if (m_sid.isEmpty()) {
        auto st =
            m_db.prepare("SELECT sid FROM principals WHERE kind = 'user' AND sid LIKE 'S-1-5-21-%-500'");
        if (st.step())
            m_sid = st.text(0).chopped(4);
    }
    if (!m_sid.isEmpty())
        return m_sid;
    // Before the accounts are made: three sub-authorities derived from the computer name.
    const QByteArray h = QCryptographicHash::hash(m_computer.toUpper().toUtf8(), QCryptographicHash::Sha1);
    auto part = [&](int i) {
        return QString::number((static_cast<quint32>(static_cast<quint8>(h[i])) << 24 |
                                static_cast<quint32>(static_cast<quint8>(h[i + 1])) << 16 |
                                static_cast<quint32>(static_cast<quint8>(h[i + 2])) << 8 |
                                static_cast<quint32>(static_cast<quint8>(h[i + 3]))) %
                               2000000000u);
    };
    return u"S-1-5-21-"_s + part(0) + u'-' + part(4) + u'-' + part(8);
}

QString AccountStore::newSid(int rid) {
    return machineSid() + u'-' + QString::number(rid);
}

int AccountStore::nextRid() {
    // Windows hands out relative identifiers from 1000 upward and never reuses one.
    auto st = m_db.prepare("SELECT value FROM facts WHERE name = 'next_rid'");
    int rid = st.step() ? st.text(0).toInt() : 1000;
    auto set = m_db.prepare("INSERT INTO facts(name, value) VALUES ('next_rid', ?1) "
                            "ON CONFLICT(name) DO UPDATE SET value = ?1");
    set.bind(1, QString::number(rid + 1));
    set.run();
    return rid;
}

namespace {

// Names of accounts and groups: none of " / \ [ ] : ; | = , + * ? < > or control characters, and
// not only dots and blanks.
bool soundName(const QString& name, qsizetype longest) {
    if (name.isEmpty() || name.size() > longest)
        return false;
    static const QString forbidden = u"\"/\\[]:;|=,+*?<>"_s;
    bool onlyDotsAndBlanks = true;
    for (QChar c : name) {
        if (forbidden.contains(c) || c.unicode() < 32)
            return false;
        if (c != u'.' && c != u' ')
            onlyDotsAndBlanks = false;
    }
    return !onlyDotsAndBlanks;
}

} // namespace

bool AccountStore::validName(const QString& name) {
    return soundName(name, 20);
}

bool AccountStore::validGroupName(const QString& name) {
    return soundName(name, 256);
}

std::optional<Principal> AccountStore::bySid(const QString& sid) {
    auto st = m_db.prepare(
        "SELECT sid, name, domain, kind, full_name, comment, flags FROM principals WHERE sid = ?1");
    st.bind(1, sid);
    if (!st.step())
        return std::nullopt;
    return principalFrom(st);
}

std::optional<Principal> AccountStore::lookup(const QString& text) {
    const QString name = text.trimmed();
    if (name.startsWith(u"S-1-"_s, Qt::CaseInsensitive))
        return bySid(name.toUpper());
    QString domain;
    QString account = name;
    if (const qsizetype slash = name.indexOf(u'\\'); slash >= 0) {
        domain = name.left(slash);
        account = name.mid(slash + 1);
        if (domain == u"."_s)
            domain = m_computer;
    }
    auto st = m_db.prepare("SELECT sid, name, domain, kind, full_name, comment, flags FROM principals "
                           "WHERE name = ?1 COLLATE NOCASE");
    st.bind(1, account);
    if (!st.step())
        return std::nullopt;
    Principal p = principalFrom(st);
    if (!domain.isEmpty() && domain.compare(p.domain, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    return p;
}

std::uint32_t AccountStore::addUser(const QString& name, const QString& password, const QString& fullName,
                                    const QString& comment, std::uint32_t flags) {
    if (!validName(name))
        return nerr::BadUsername;
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    if (lookup(name))
        return nerr::UserExists;
    const QString sid = newSid(nextRid());
    const QString salt = newSalt();
    auto st =
        m_db.prepare("INSERT INTO principals(sid, name, domain, kind, full_name, comment, flags, salt, hash) "
                     "VALUES (?1, ?2, ?3, 'user', ?4, ?5, ?6, ?7, ?8)");
    st.bind(1, sid).bind(2, name).bind(3, m_computer).bind(4, fullName).bind(5, comment);
    st.bind(6, static_cast<std::int64_t>(flags | platform::userflags::NormalAccount)).bind(7, salt);
    st.bind(8, hashPassword(salt, password));
    if (!st.run())
        return nerr::BadUsername;
    // A new local user joins Users.
    auto join = m_db.prepare("INSERT INTO members(group_sid, member_sid) VALUES ('S-1-5-32-545', ?1)");
    join.bind(1, sid);
    join.run();
    return tx.commit() ? nerr::Success : nerr::BadUsername;
}

std::uint32_t AccountStore::setPassword(const QString& name, const QString& password) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return nerr::UserNotFound;
    const QString salt = newSalt();
    auto st = m_db.prepare("UPDATE principals SET salt = ?2, hash = ?3 WHERE sid = ?1");
    st.bind(1, p->sid).bind(2, salt).bind(3, hashPassword(salt, password));
    return st.run() && tx.commit() ? nerr::Success : nerr::UserNotFound;
}

bool AccountStore::checkPassword(const QString& name, const QString& password) {
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return false;
    auto st = m_db.prepare("SELECT salt, hash FROM principals WHERE sid = ?1");
    st.bind(1, p->sid);
    return st.step() && hashPassword(st.text(0), password) == st.text(1);
}

std::uint32_t AccountStore::addGroup(const QString& name, const QString& comment) {
    if (!validGroupName(name))
        return nerr::BadUsername;
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    if (const auto existing = lookup(name))
        return existing->isGroup() ? nerr::AliasExists : nerr::UserExists;
    auto st = m_db.prepare(
        "INSERT INTO principals(sid, name, domain, kind, comment) VALUES (?1, ?2, ?3, 'group', ?4)");
    st.bind(1, newSid(nextRid())).bind(2, name).bind(3, m_computer).bind(4, comment);
    if (!st.run())
        return nerr::BadUsername;
    return tx.commit() ? nerr::Success : nerr::BadUsername;
}

void AccountStore::removeGroup(const QString& sid) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return;
    auto st = m_db.prepare("DELETE FROM principals WHERE sid = ?1 AND kind = 'group'");
    st.bind(1, sid);
    st.run();
    auto m = m_db.prepare("DELETE FROM members WHERE member_sid = ?1");
    m.bind(1, sid);
    m.run();
    tx.commit();
}

std::uint32_t AccountStore::setGroupComment(const QString& sid, const QString& comment) {
    auto st =
        m_db.prepare("UPDATE principals SET comment = ?2 WHERE sid = ?1 AND kind IN ('group', 'alias')");
    st.bind(1, sid).bind(2, comment);
    if (!st.run())
        return nerr::Fail;
    return m_db.changes() == 1 ? nerr::Success : nerr::NoSuchAlias;
}

std::uint32_t AccountStore::addMember(const QString& group, const QString& member) {
    // The group and the member are looked up in the transaction that adds the membership: neither
    // can be deleted in between by another process.
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    const auto g = lookup(group);
    if (!g || !g->isGroup())
        return nerr::NoSuchAlias;
    const auto m = lookup(member);
    if (!m || m->sid == g->sid)
        return nerr::NoSuchMember;
    auto st = m_db.prepare("INSERT OR IGNORE INTO members(group_sid, member_sid) VALUES (?1, ?2)");
    st.bind(1, g->sid).bind(2, m->sid);
    if (!st.run())
        return nerr::NoSuchMember;
    if (m_db.changes() != 1)
        return nerr::MemberInAlias;
    return tx.commit() ? nerr::Success : nerr::NoSuchMember;
}

std::uint32_t AccountStore::removeMember(const QString& group, const QString& member) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    const auto g = lookup(group);
    if (!g || !g->isGroup())
        return nerr::NoSuchAlias;
    const auto m = lookup(member);
    if (!m)
        return nerr::NoSuchMember;
    auto st = m_db.prepare("DELETE FROM members WHERE group_sid = ?1 AND member_sid = ?2");
    st.bind(1, g->sid).bind(2, m->sid);
    if (!st.run())
        return nerr::NoSuchMember;
    if (m_db.changes() != 1)
        return nerr::MemberNotInAlias;
    return tx.commit() ? nerr::Success : nerr::NoSuchMember;
}

std::uint32_t AccountStore::changeMembers(const QString& group, const QStringList& members, bool add) {
    Database::Transaction tx(m_db);
    for (const QString& member : members)
        if (const std::uint32_t e = add ? addMember(group, member) : removeMember(group, member))
            return e; // the transaction is let go: nothing of the list stays
    return tx.commit() ? nerr::Success : nerr::Fail;
}

QList<Principal> AccountStore::groups() {
    QList<Principal> out;
    auto st = m_db.prepare("SELECT sid, name, domain, kind, full_name, comment, flags FROM principals "
                           "WHERE kind IN ('group', 'alias') ORDER BY name COLLATE NOCASE");
    while (st.step())
        out << principalFrom(st);
    return out;
}

std::uint32_t AccountStore::changeUser(const QString& name, const UserChange& change) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return nerr::UserNotFound;
    auto st = m_db.prepare("UPDATE principals SET full_name = coalesce(?2, full_name), "
                           "comment = coalesce(?3, comment) WHERE sid = ?1");
    st.bind(1, p->sid);
    change.fullName ? st.bind(2, *change.fullName) : st.bindNull(2);
    change.comment ? st.bind(3, *change.comment) : st.bindNull(3);
    if (!st.run())
        return nerr::Fail;
    // The flag bits change as every other writer of them changes them: inside the write
    // transaction, never from a value read before it.
    if ((change.setFlags || change.clearFlags) && !changeUserFlags(name, change.setFlags, change.clearFlags))
        return nerr::Fail;
    if (change.expires) {
        // The day an account expires is kept among the machine's facts, by the account's SID.
        auto clear = m_db.prepare("DELETE FROM facts WHERE name = ?1");
        clear.bind(1, u"expires."_s + p->sid);
        if (!clear.run())
            return nerr::Fail;
        if (change.expires->isValid()) {
            auto set = m_db.prepare("INSERT INTO facts(name, value) VALUES (?1, ?2)");
            set.bind(1, u"expires."_s + p->sid).bind(2, change.expires->toString(Qt::ISODate));
            if (!set.run())
                return nerr::Fail;
        }
    }
    return tx.commit() ? nerr::Success : nerr::Fail;
}

std::optional<QDate> AccountStore::expiryOf(const QString& sid) {
    auto st = m_db.prepare("SELECT value FROM facts WHERE name = ?1");
    st.bind(1, u"expires."_s + sid);
    if (!st.step())
        return std::nullopt;
    const QDate day = QDate::fromString(st.text(0), Qt::ISODate);
    return day.isValid() ? std::optional<QDate>(day) : std::nullopt;
}

QList<Principal> AccountStore::groupsOf(const QString& sid) {
    QList<Principal> out;
    auto st = m_db.prepare("SELECT p.sid, p.name, p.domain, p.kind, p.full_name, p.comment, p.flags "
                           "FROM members m JOIN principals p ON p.sid = m.group_sid WHERE m.member_sid = ?1 "
                           "ORDER BY p.name");
    st.bind(1, sid);
    while (st.step())
        out << principalFrom(st);
    return out;
}

QList<Principal> AccountStore::membersOf(const QString& groupSid) {
    QList<Principal> out;
    QStringList sids;
    {
        auto st = m_db.prepare("SELECT member_sid FROM members WHERE group_sid = ?1");
        st.bind(1, groupSid);
        while (st.step())
            sids << st.text(0);
    }
    for (const QString& sid : sids)
        if (auto p = bySid(sid))
            out << *p;
    return out;
}

QStringList AccountStore::tokenOf(const QString& userSid) {
    QStringList token{userSid, u"S-1-1-0"_s, u"S-1-5-11"_s, u"S-1-5-4"_s};
    for (qsizetype i = 0; i < token.size(); ++i)
        for (const Principal& g : groupsOf(token[i]))
            if (!token.contains(g.sid))
                token << g.sid;
    return token;
}

Outcome<QStringList> AccountStore::Win32UserAccountNames() {
    QStringList names;
    auto st = m_db.prepare("SELECT name FROM principals WHERE kind = 'user' ORDER BY name COLLATE NOCASE");
    while (st.step())
        names << st.text(0);
    return names;
}

Outcome<std::uint32_t> AccountStore::UserFlags(const QString& name) {
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return Error{0x800708AD, u"找不到用户名。"_s}; // NERR_UserNotFound through ADSI
    return p->flags;
}

Status AccountStore::PutUserFlags(const QString& name, std::uint32_t flags) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return busy();
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return Error{0x800708AD, u"找不到用户名。"_s};
    auto st = m_db.prepare("UPDATE principals SET flags = ?2 WHERE sid = ?1");
    st.bind(1, p->sid).bind(2, static_cast<std::int64_t>(flags));
    if (!st.run() || !tx.commit())
        return Error{platform::hr::Fail, m_db.lastError()};
    return {};
}

Outcome<std::uint32_t> AccountStore::changeUserFlags(const QString& name, std::uint32_t set,
                                                     std::uint32_t clear) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return busy();
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return Error{0x800708AD, u"找不到用户名。"_s};
    const std::uint32_t flags = (p->flags & ~clear) | set;
    auto st = m_db.prepare("UPDATE principals SET flags = ?2 WHERE sid = ?1");
    st.bind(1, p->sid).bind(2, static_cast<std::int64_t>(flags));
    if (!st.run() || !tx.commit())
        return Error{platform::hr::Fail, m_db.lastError()};
    return flags;
}

std::uint32_t AccountStore::NetUserDel(const QString& name) {
    Database::Transaction tx(m_db);
    if (!tx.ok())
        return nerr::Busy;
    const auto p = lookup(name);
    if (!p || !p->isUser())
        return nerr::UserNotFound;
    if (p->sid.endsWith(u"-500"_s) || p->sid.endsWith(u"-501"_s))
        return nerr::SpecialAccount; // the built-in Administrator and Guest stay
    auto members = m_db.prepare("DELETE FROM members WHERE member_sid = ?1");
    members.bind(1, p->sid);
    members.run();
    auto st = m_db.prepare("DELETE FROM principals WHERE sid = ?1");
    st.bind(1, p->sid);
    st.run();
    auto expiry = m_db.prepare("DELETE FROM facts WHERE name = ?1");
    expiry.bind(1, u"expires."_s + p->sid);
    expiry.run();
    tx.commit();
    return nerr::Success;
}

Outcome<bool> AccountStore::Exists(const QString& name) {
    const auto p = lookup(name);
    return p && (p->isUser() || p->isGroup());
}

Outcome<bool> AccountStore::IsMember(const QString& group, const QString& account) {
    const auto g = lookup(group);
    const auto a = lookup(account);
    if (!g || !g->isGroup() || !a)
        return false;
    const auto members = membersOf(g->sid);
    return std::any_of(members.begin(), members.end(), [&](const Principal& m) { return m.sid == a->sid; });
}

} // namespace emulation::accounts
