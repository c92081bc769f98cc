#pragma once

#include <QString>

#include <optional>

namespace platform {

// The platform's private-profile (INI) functions, GetPrivateProfileStringA and
// WritePrivateProfileStringA. Files are named by their Windows path.
class ProfileStore {
public:
    virtual ~ProfileStore() = default;

    // Copies the value of section/key, cut to at most size - 1 bytes of ANSI text, into out and
    // returns the number of bytes copied. A missing key yields the default (nothing for a null one).
    virtual int GetPrivateProfileString(const QString& section, const QString& key,
                                        const std::optional<QString>& defaultValue, QString& out, int size,
                                        const QString& file) = 0;

    // Writes section/key = value. A null value removes the key; a null key removes the section.
    // Creates the file, the section or the key on the first write. Returns false when refused.
    virtual bool WritePrivateProfileString(const QString& section, const std::optional<QString>& key,
                                           const std::optional<QString>& value, const QString& file) = 0;
};

} // namespace platform
