#pragma once

// Writing the files of the machine's drives on this computer so that a write that cannot be
// completed (a full disk) changes nothing: a replaced file holds its old bytes or its new ones,
// an appended file its old bytes or all of the new ones. Symbolic links are never followed.

#include <QByteArrayView>
#include <QString>

namespace emulation::files {

// Replaces (or makes) the file at a host path with bytes: they are written to a new file beside
// it, flushed to the disk and renamed over it. An existing file keeps its permission bits.
// Returns the message Windows gives for the failure, or an empty text.
QString replaceFile(const QString& hostPath, QByteArrayView bytes);
// Appends bytes to the file at a host path (making it with the permission bits mode when missing);
// a write that fails is taken back, so that the file ends as it was.
QString appendToFile(const QString& hostPath, QByteArrayView bytes, unsigned mode = 0644);
// Copies a file over another (or to a new one), whole or not at all.
QString copyFile(const QString& fromHostPath, const QString& toHostPath);
// Makes a folder and the missing folders above it.
QString makeFolders(const QString& hostPath);
// Windows' message for a failed file operation's errno: a full disk or quota says
// "磁盘空间不足。", anything else "拒绝访问。".
QString writeErrorText(int error);

} // namespace emulation::files
