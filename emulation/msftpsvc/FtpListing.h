#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

namespace msftpsvc {

struct ListEntry {
    QString name;
    bool folder = false;
    std::uint64_t size = 0;
    QDateTime modified; // local time, as IIS lists it
};

// One line of LIST as IIS 6 writes it, with CRLF. MS-DOS style (MSDOSDirOutput true):
//   "12-07-26  02:30PM       <DIR>          web"
//   "12-07-26  02:30PM                 1234 index.html"
// UNIX style: "drwxrwxrwx   1 owner    group               0 Dec  7 14:30 web", the year instead
// of the time for what is older than half a year or in the future.
QByteArray listLine(const ListEntry& entry, bool msdos, const QDateTime& now);

// MDTM's answer: the modification time in UTC as YYYYMMDDhhmmss.
QByteArray mdtmText(const QDateTime& modified);

} // namespace msftpsvc
