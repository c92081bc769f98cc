#pragma once

#include <QString>
#include <QStringList>

namespace emulation::files {

// A Windows path split into its drive letter and its names, normalised as Windows does: "\" and
// "/" separate, "." and ".." are resolved, a name loses one trailing dot, and the last name (unless
// a separator follows it) loses all its trailing blanks and dots.
struct WinPath {
    // Why a path names no file Windows can have.
    enum class Problem {
        None,
        BadName, // a character Windows forbids in names (< > : " | ? * or a control character)
        Device,  // a device name (CON, NUL, COM1, ...), with or without an extension
        TooLong, // longer than MaxPath characters
    };
    static constexpr qsizetype MaxPath = 259; // MAX_PATH without its terminating null

    QChar drive;       // upper case; null when the path is not absolute on a drive
    QStringList names; // from the drive root down
    Problem problem = Problem::None;

    static WinPath parse(const QString& text);
    bool valid() const { return !drive.isNull() && problem == Problem::None; }
    QString toString() const; // "D:\WebRoot\site"
    // Whether a name is one of the devices every folder holds ("nul", "con.txt", "LPT1").
    static bool isDeviceName(const QString& name);
};

// Resolves a Windows path to a path below driveRoot ("<machine>/drives"). Every name that exists
// is matched without regard to case; names that do not exist yet are kept as written.
// An empty result means that the path is not on a drive of the machine.
QString hostPathOf(const QString& drivesFolder, const QString& windowsPath);
// The same for a parsed path in one walk; existingNames (if given) receives how many of its names,
// from the root down, exist.
QString hostPathOf(const QString& drivesFolder, const WinPath& path, qsizetype* existingNames = nullptr);

} // namespace emulation::files

// Also reachable as emulation::WinPath, the name callers outside the emulation know it by.
namespace emulation {
using files::WinPath;
}
