#pragma once

#include "platform/ProfileStore.h"

#include <functional>

namespace settings {

// Get/WritePrivateProfileString over files of a disk. Every call reads the file afresh (another
// process may have changed it), and every write replaces the whole file atomically, so that a
// crash never leaves half a settings file behind.
class ProfileFile final : public platform::ProfileStore {
public:
    // hostPathOf turns a Windows file path into the path of the file on this computer.
    explicit ProfileFile(std::function<QString(const QString&)> hostPathOf);

    int GetPrivateProfileString(const QString& section, const QString& key,
                                const std::optional<QString>& defaultValue, QString& out, int size,
                                const QString& file) override;
    bool WritePrivateProfileString(const QString& section, const std::optional<QString>& key,
                                   const std::optional<QString>& value, const QString& file) override;

private:
    std::function<QString(const QString&)> m_hostPathOf;
};

} // namespace settings
