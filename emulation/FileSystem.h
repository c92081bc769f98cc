#pragma once

#include "emulation/Security.h"
#include "emulation/WinPath.h"
#include "platform/Files.h"

#include <QString>

#include <vector>

namespace emulation {

class AccountStore;
class Database;

// The machine's drives with NTFS permissions: explicit allow and deny entries per path, inherited
// entries from the ancestors, and the access check of the operator (the machine's Administrator).
class FileSystem final : public platform::Files {
public:
    FileSystem(Database& db, AccountStore& accounts, QString drivesFolder);

    platform::Outcome<bool> EntryExists(const QString& path) override;
    bool FileExists(const QString& path) override;
    platform::Status ClearAttributes(const QString& path) override;
    platform::Status DeleteTree(const QString& path) override;

    // The file on this computer behind a Windows path; empty when not on a drive of the machine.
    QString hostPath(const QString& windowsPath) const;
    QString hostPath(const WinPath& path) const;
    bool isFolder(const WinPath& path) const;
    bool exists(const WinPath& path) const;
    // The Windows path with the names as they are stored ("d:\webroot" -> "D:\WebRoot").
    QString displayPath(const WinPath& path) const;
    // Folders and files directly inside a folder.
    QStringList children(const WinPath& folder) const;

    // Explicit entries of one path, in stored order.
    std::vector<Ace> explicitAces(const WinPath& path);
    void setExplicitAces(const WinPath& path, const std::vector<Ace>& aces);
    // A protected list (SE_DACL_PROTECTED) takes no entries from the folders above it.
    bool isProtected(const WinPath& path);
    void setProtected(const WinPath& path, bool isProtected);
    // Every entry that applies to the path in canonical order; inherited ones carry the
    // Inherited flag.
    std::vector<Ace> effectiveAces(const WinPath& path);
    // The file rights a principal holds on a path through its access token.
    std::uint32_t rightsOf(const QString& sid, const WinPath& path);
    std::uint32_t operatorRights(const WinPath& path);
    QString operatorSid() const;

    // Entries made for a new folder's tree go with it; entries of a deleted tree go too.
    void forgetAces(const WinPath& path);

private:
    static QString key(const WinPath& path);
    Database& m_db;
    AccountStore& m_accounts;
    QString m_drives;
};

// Windows messages for file errors, as cmd.exe and the tools print them.
namespace fserr {
inline const QString PathNotFound = QStringLiteral("系统找不到指定的路径。");
inline const QString FileNotFound = QStringLiteral("系统找不到指定的文件。");
inline const QString AccessDenied = QStringLiteral("拒绝访问。");
inline const QString BadSyntax = QStringLiteral("文件名、目录名或卷标语法不正确。");
} // namespace fserr

} // namespace emulation
