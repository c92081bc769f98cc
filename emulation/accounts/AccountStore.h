#pragma once

#include "platform/Accounts.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <optional>

namespace emulation::machine {
class Database;
}

namespace emulation::accounts {

// A security principal: a local user or group, a built-in group or a well-known identity.
struct Principal {
    QString sid;
    QString name;
    QString domain; // BUILTIN, NT AUTHORITY, the computer name, or empty
    QString kind;   // user, group, alias, wellknown
    QString fullName;
    QString comment;
    std::uint32_t flags = 0;
    bool isUser() const { return kind == QStringLiteral("user"); }
    bool isGroup() const { return kind == QStringLiteral("group") || kind == QStringLiteral("alias"); }
    QString qualifiedName() const { return domain.isEmpty() ? name : domain + u'\\' + name; }
};

// Windows error numbers of the account functions (NERR_* and ERROR_*).
namespace nerr {
inline constexpr std::uint32_t Success = 0;
inline constexpr std::uint32_t BadUsername = 2202;
inline constexpr std::uint32_t UserNotFound = 2221;
inline constexpr std::uint32_t UserExists = 2224;
inline constexpr std::uint32_t GroupExists = 2223;
inline constexpr std::uint32_t NoSuchMember = 1332; // no mapping between account names and SIDs
inline constexpr std::uint32_t NoSuchAlias = 1376;
inline constexpr std::uint32_t MemberNotInAlias = 1377;
inline constexpr std::uint32_t MemberInAlias = 1378;
inline constexpr std::uint32_t AliasExists = 1379;
inline constexpr std::uint32_t SpecialAccount = 1371; // cannot perform on a built-in account
inline constexpr std::uint32_t Fail = 1359;           // an internal error
inline constexpr std::uint32_t Busy = 170;            // the database stayed locked by another process
} // namespace nerr

// Local accounts and groups of the machine (its SAM), over the machine database.
class AccountStore final : public platform::Accounts {
public:
    AccountStore(machine::Database& db, QString computerName);

    platform::Outcome<QStringList> Win32UserAccountNames() override;
    platform::Outcome<std::uint32_t> UserFlags(const QString& name) override;
    platform::Status PutUserFlags(const QString& name, std::uint32_t flags) override;
    std::uint32_t NetUserDel(const QString& name) override;
    platform::Outcome<bool> Exists(const QString& name) override;
    platform::Outcome<bool> IsMember(const QString& group, const QString& account) override;
    // Sets and clears flag bits of a user in one write transaction (a concurrent change of other
    // bits is kept); the flags as stored.
    platform::Outcome<std::uint32_t> changeUserFlags(const QString& name, std::uint32_t set,
                                                     std::uint32_t clear);

    // Account names: at most 20 characters, none of " / \ [ ] : ; | = , + * ? < > and not only
    // dots and blanks.
    static bool validName(const QString& name);
    // Local group names follow the same rules with up to 256 characters.
    static bool validGroupName(const QString& name);
    static QString hashPassword(const QString& salt, const QString& password);

    // Finds "name", "DOMAIN\name" or a SID string "S-1-...", without regard to case.
    std::optional<Principal> lookup(const QString& name);
    std::optional<Principal> bySid(const QString& sid);

    std::uint32_t addUser(const QString& name, const QString& password, const QString& fullName,
                          const QString& comment, std::uint32_t flags);
    std::uint32_t setPassword(const QString& name, const QString& password);
    bool checkPassword(const QString& name, const QString& password);
    std::uint32_t addGroup(const QString& name, const QString& comment);
    void removeGroup(const QString& sid);
    std::uint32_t setGroupComment(const QString& sid, const QString& comment);
    std::uint32_t addMember(const QString& group, const QString& member);
    std::uint32_t removeMember(const QString& group, const QString& member);
    // Adds (or removes) several members at once: all of them, or none when one fails.
    std::uint32_t changeMembers(const QString& group, const QStringList& members, bool add);
    // Every local group, built-in and created, by name.
    QList<Principal> groups();

    // What "net user NAME /switch:..." changes on an account; unset parts stay as they are.
    struct UserChange {
        std::optional<QString> fullName;
        std::optional<QString> comment;
        std::uint32_t setFlags = 0;
        std::uint32_t clearFlags = 0;
        std::optional<QDate> expires; // an invalid date: never
    };
    // Changes an account in one write; 0 or the NERR error number.
    std::uint32_t changeUser(const QString& name, const UserChange& change);
    // The day the account expires on; nullopt when it never does.
    std::optional<QDate> expiryOf(const QString& sid);
    // The groups a principal belongs to directly, as principals.
    QList<Principal> groupsOf(const QString& sid);
    QList<Principal> membersOf(const QString& groupSid);
    // Every SID in the access token of a user: itself, its groups (also through nested
    // groups), Everyone, Authenticated Users, INTERACTIVE.
    QStringList tokenOf(const QString& userSid);

    QString computerName() const { return m_computer; }
    // The machine's SID prefix, "S-1-5-21-a-b-c".
    QString machineSid() const;

private:
    QString newSid(int rid);
    int nextRid();
    machine::Database& m_db;
    QString m_computer;
    mutable QString m_sid; // the machine's SID once its accounts exist
};

} // namespace emulation::accounts

// Also reachable as emulation::AccountStore, the name callers outside the emulation know it by.
namespace emulation {
using accounts::AccountStore;
}
