#pragma once

#include <QString>
#include <QStringList>

namespace emulation {

// A Windows path split into its drive letter and its names. Names lose their trailing blanks and
// dots, as Windows drops them; "." and ".." are resolved. Both "\" and "/" separate.
struct WinPath {
    QChar drive;       // upper case; null when the path is not absolute on a drive
    QStringList names; // from the drive root down

    static WinPath parse(const QString& text);
    bool valid() const { return !drive.isNull(); }
    QString toString() const; // "D:\WebRoot\site"
};

// Resolves a Windows path to a path below driveRoot ("<machine>/drives"). Every name that exists
// is matched without regard to case; names that do not exist yet are kept as written.
// An empty result means that the path is not on a drive of the machine.
QString hostPathOf(const QString& drivesFolder, const QString& windowsPath);

} // namespace emulation
