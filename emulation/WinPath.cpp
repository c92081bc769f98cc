#include "emulation/WinPath.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace emulation {

using namespace Qt::Literals::StringLiterals;

WinPath WinPath::parse(const QString& text) {
    WinPath p;
    QString t = text.trimmed();
    if (t.size() < 2 || t[1] != u':' || !t[0].isLetter() || t[0].unicode() > 127)
        return p;
    p.drive = t[0].toUpper();
    const QStringList parts = t.mid(2).split(QRegularExpression(u"[\\\\/]"_s), Qt::SkipEmptyParts);
    for (QString name : parts) {
        while (!name.isEmpty() && (name.endsWith(u' ') || name.endsWith(u'.')) && name != u"."_s &&
               name != u".."_s)
            name.chop(1);
        if (name.isEmpty() || name == u"."_s)
            continue;
        if (name == u".."_s) {
            if (!p.names.isEmpty())
                p.names.removeLast();
            continue;
        }
        p.names << name;
    }
    return p;
}

QString WinPath::toString() const {
    if (!valid())
        return {};
    return QString(drive) + u":\\"_s + names.join(u'\\');
}

QString hostPathOf(const QString& drivesFolder, const QString& windowsPath) {
    const WinPath p = WinPath::parse(windowsPath);
    if (!p.valid())
        return {};
    QString current = drivesFolder + u'/' + p.drive;
    if (!QFileInfo(current).isDir())
        return {};
    bool exists = true;
    for (const QString& name : p.names) {
        if (exists && QFileInfo::exists(current + u'/' + name)) {
            current += u'/' + name; // the name as written is there: the usual case
            continue;
        }
        if (exists) {
            const QStringList entries = QDir(current).entryList(QDir::AllEntries | QDir::Hidden |
                                                                QDir::System | QDir::NoDotAndDotDot);
            QString match;
            for (const QString& e : entries)
                if (e.compare(name, Qt::CaseInsensitive) == 0) {
                    match = e;
                    break;
                }
            if (!match.isEmpty()) {
                current += u'/' + match;
                continue;
            }
            exists = false;
        }
        current += u'/' + name;
    }
    return current;
}

} // namespace emulation
