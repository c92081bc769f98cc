#pragma once

#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace platform {

// Account flag bits of the "WinNT://" provider (ADS_USER_FLAG_ENUM).
namespace userflags {
inline constexpr std::uint32_t AccountDisable = 0x2;
inline constexpr std::uint32_t PasswdCantChange = 0x40;
inline constexpr std::uint32_t NormalAccount = 0x200;
inline constexpr std::uint32_t DontExpirePasswd = 0x10000;
} // namespace userflags

// Local accounts: the WMI Win32_UserAccount query, the "WinNT://" user flags and NetUserDel.
class Accounts {
public:
    virtual ~Accounts() = default;
    // "SELECT * FROM Win32_UserAccount": the Name of every local account, in the order WMI lists them.
    virtual Outcome<QStringList> Win32UserAccountNames() = 0;
    // "WinNT://./NAME": read UserFlags, and Put "userFlags" followed by SetInfo.
    virtual Outcome<std::uint32_t> UserFlags(const QString& name) = 0;
    virtual Status PutUserFlags(const QString& name, std::uint32_t flags) = 0;
    // NetUserDel on this computer: 0 (NERR_Success) or the error number (2221 NERR_UserNotFound, ...).
    virtual std::uint32_t NetUserDel(const QString& name) = 0;
    // Whether a local user or group of that name exists (users and groups share one name space).
    virtual Outcome<bool> Exists(const QString& name) = 0;
    // Whether the account is a direct member of the local group; false when either is missing.
    virtual Outcome<bool> IsMember(const QString& group, const QString& account) = 0;
};

} // namespace platform
