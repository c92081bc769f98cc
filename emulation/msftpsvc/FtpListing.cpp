#include "emulation/msftpsvc/FtpListing.h"

#include <cstdio>

namespace msftpsvc {

using namespace Qt::Literals::StringLiterals;

QByteArray listLine(const ListEntry& e, bool msdos, const QDateTime& now) {
    const QDate d = e.modified.date();
    const QTime t = e.modified.time();
    char head[96];
    if (msdos) {
        const int hour12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
        const int n = std::snprintf(head, sizeof head, "%02d-%02d-%02d  %02d:%02d%s", d.month(), d.day(),
                                    d.year() % 100, hour12, t.minute(), t.hour() < 12 ? "AM" : "PM");
        QByteArray line(head, n);
        if (e.folder) {
            line += "       <DIR>          ";
        } else {
            std::snprintf(head, sizeof head, " %20llu ", static_cast<unsigned long long>(e.size));
            line += head;
        }
        return line + e.name.toUtf8() + "\r\n";
    }
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const qint64 age = e.modified.secsTo(now);
    const bool recent = age >= 0 && age < 180LL * 24 * 3600;
    char when[16];
    if (recent)
        std::snprintf(when, sizeof when, "%02d:%02d", t.hour(), t.minute());
    else
        std::snprintf(when, sizeof when, " %04d", d.year());
    const int n = std::snprintf(head, sizeof head, "%s   1 owner    group    %15llu %s %2d %s ",
                                e.folder ? "drwxrwxrwx" : "-rwxrwxrwx",
                                static_cast<unsigned long long>(e.folder ? 0 : e.size), months[d.month() - 1],
                                d.day(), when);
    return QByteArray(head, n) + e.name.toUtf8() + "\r\n";
}

QByteArray mdtmText(const QDateTime& modified) {
    return modified.toUTC().toString(u"yyyyMMddhhmmss"_s).toLatin1();
}

} // namespace msftpsvc
