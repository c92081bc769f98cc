#pragma once

#include "emulation/accounts/Security.h"
#include "emulation/files/WinPath.h"
#include "platform/Files.h"

#include <QString>

#include <functional>
#include <vector>

namespace emulation::accounts {
class AccountStore;
}
namespace emulation::machine {
class Database;
}

namespace emulation::files {

// The machine's drives with NTFS permissions: explicit allow and deny entries per path, inherited
// entries from the ancestors, and the access check of the operator (the machine's Administrator).
class FileSystem final : public platform::Files {
public:
    FileSystem(machine::Database& db, accounts::AccountStore& accounts, QString drivesFolder);

    platform::Outcome<bool> EntryExists(const QString& path) override;
    bool FileExists(const QString& path) override;
    bool IsFolder(const QString& path) override;
    platform::Status ClearAttributes(const QString& path) override;
    platform::Status DeleteTree(const QString& path) override;

    // The file on this computer behind a Windows path; empty when not on a drive of the machine.
    QString hostPath(const QString& windowsPath) const;
    QString hostPath(const WinPath& path) const;
    bool isFolder(const WinPath& path) const;
    bool exists(const WinPath& path) const;
    // The path cut back to its deepest part that exists (the drive root at least).
    WinPath nearestExisting(const WinPath& path) const;
    // The Windows path with the names as they are stored ("d:\webroot" -> "D:\WebRoot").
    QString displayPath(const WinPath& path) const;
    // Folders and files directly inside a folder.
    QStringList children(const WinPath& folder) const;

    // Explicit entries of one path, in stored order.
    std::vector<accounts::Ace> explicitAces(const WinPath& path);
    void setExplicitAces(const WinPath& path, const std::vector<accounts::Ace>& aces);
    // Reads the explicit entries, lets edit change them and stores the result, all in one write
    // transaction, so that another process editing the same list at once loses nothing. False
    // when the list could not be stored.
    bool editExplicitAces(const WinPath& path, const std::function<void(std::vector<accounts::Ace>&)>& edit);
    // A protected list (SE_DACL_PROTECTED) takes no entries from the folders above it.
    bool isProtected(const WinPath& path);
    void setProtected(const WinPath& path, bool isProtected);
    // Every entry of the path's list in canonical order, as icacls lists them: inherited ones
    // carry the Inherited flag, entries that only pass on to the objects below carry InheritOnly.
    std::vector<accounts::Ace> effectiveAces(const WinPath& path);
    // The file rights a principal holds on a path through its access token.
    std::uint32_t rightsOf(const QString& sid, const WinPath& path);
    std::uint32_t operatorRights(const WinPath& path);
    QString operatorSid() const;

    // Entries made for a new folder's tree go with it; entries of a deleted tree go too.
    void forgetAces(const WinPath& path);
    // A renamed or moved object takes its explicit entries (and those of its tree) along.
    void moveAces(const WinPath& from, const WinPath& to);

private:
    static QString key(const WinPath& path);
    machine::Database& m_db;
    accounts::AccountStore& m_accounts;
    QString m_drives;
};

// Windows messages for file errors, as cmd.exe and the tools print them.
namespace fserr {
inline const QString PathNotFound = QStringLiteral("系统找不到指定的路径。");
inline const QString FileNotFound = QStringLiteral("系统找不到指定的文件。");
inline const QString AccessDenied = QStringLiteral("拒绝访问。");
// ERROR_DISK_FULL (112).
inline const QString DiskFull = QStringLiteral("磁盘空间不足。");
inline constexpr std::uint32_t DiskFullHr = 0x80070070;
inline const QString BadSyntax = QStringLiteral("文件名、目录名或卷标语法不正确。");
inline const QString TooLong = QStringLiteral("文件名或扩展名太长。");
// ERROR_SHARING_VIOLATION (32): another process held the object (here: the machine's database)
// past the wait.
inline const QString InUse = QStringLiteral("另一个程序正在使用此文件，进程无法访问。");
inline constexpr int InUseCode = 32;
inline constexpr std::uint32_t TooLongHr = 0x800700CE; // ERROR_FILENAME_EXCED_RANGE
// The message for a path that names no file Windows can have; empty for a sound path.
QString problemText(const WinPath& path);
} // namespace fserr

} // namespace emulation::files

// Also reachable as emulation::FileSystem, the name callers outside the emulation know it by.
namespace emulation {
using files::FileSystem;
}
