#include "settings/ProfileFile.h"

#include "platform/AnsiCodePage.h"
#include "settings/IniDocument.h"

#include <QFile>
#include <QSaveFile>

namespace settings {

ProfileFile::ProfileFile(std::function<QString(const QString&)> hostPathOf)
    : m_hostPathOf(std::move(hostPathOf)) {}

int ProfileFile::GetPrivateProfileString(const QString& section, const QString& key,
                                         const std::optional<QString>& defaultValue, QString& out, int size,
                                         const QString& file) {
    out.clear();
    if (size <= 0)
        return 0;
    QFile f(m_hostPathOf(file));
    std::optional<QByteArray> raw;
    IniDocument doc;
    if (f.open(QIODevice::ReadOnly)) {
        doc = IniDocument::parse(f.readAll());
        raw = doc.rawValue(section, key);
    }
    if (!raw) {
        if (!defaultValue)
            return 0;
        raw = doc.encode(*defaultValue);
    }
    // The buffer holds size - 1 bytes and the closing NUL; a double-byte character is never split.
    const QByteArray cut = platform::truncateAnsi(*raw, size - 1);
    out = doc.decode(cut);
    return static_cast<int>(cut.size());
}

bool ProfileFile::WritePrivateProfileString(const QString& section, const std::optional<QString>& key,
                                            const std::optional<QString>& value, const QString& file) {
    const QString path = m_hostPathOf(file);
    if (path.isEmpty())
        return false;
    QFile existing(path);
    const bool exists = existing.exists();
    if (!exists && (!key || !value))
        return true; // nothing to remove
    IniDocument doc;
    if (exists) {
        if (!existing.open(QIODevice::ReadOnly))
            return false;
        doc = IniDocument::parse(existing.readAll());
        existing.close();
    }
    if (!key)
        doc.removeSection(section);
    else if (!value)
        doc.removeKey(section, *key);
    else
        doc.setValue(section, *key, *value);

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(doc.serialize());
    return out.commit();
}

} // namespace settings
