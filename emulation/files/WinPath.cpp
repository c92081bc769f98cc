#include "emulation/files/WinPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <sys/stat.h>

namespace emulation::files {

using namespace Qt::Literals::StringLiterals;

namespace {

// Longer than this a path is refused before it is looked at (the longest path Windows takes in
// any form).
constexpr qsizetype LongestText = 32767;

bool forbidden(QChar c) {
    return c.unicode() < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
           c == u'*';
}

} // namespace

bool WinPath::isDeviceName(const QString& name) {
    // A plain ASCII base is compared as it is, without building its upper-case copy: most names
    // are answered so.
    QStringView part(name);
    if (const qsizetype dot = part.indexOf(u'.'); dot >= 0)
        part = part.first(dot);
    part = part.trimmed();
    if (std::all_of(part.begin(), part.end(), [](QChar c) { return c.unicode() < 128; })) {
        if (part.size() > 7)
            return false;
        auto is = [&](QLatin1StringView device) {
            return part.compare(device, Qt::CaseInsensitive) == 0;
        };
        if (is("CON"_L1) || is("PRN"_L1) || is("AUX"_L1) || is("NUL"_L1) || is("CLOCK$"_L1) ||
            is("CONIN$"_L1) || is("CONOUT$"_L1))
            return true;
        return part.size() == 4 &&
               (part.startsWith("COM"_L1, Qt::CaseInsensitive) ||
                part.startsWith("LPT"_L1, Qt::CaseInsensitive)) &&
               part[3] >= u'1' && part[3] <= u'9';
    }
    const QString base = name.section(u'.', 0, 0).trimmed().toUpper();
    if (base == u"CON"_s || base == u"PRN"_s || base == u"AUX"_s || base == u"NUL"_s || base == u"CLOCK$"_s ||
        base == u"CONIN$"_s || base == u"CONOUT$"_s)
        return true;
    return base.size() == 4 && (base.startsWith(u"COM"_s) || base.startsWith(u"LPT"_s)) && base[3] >= u'1' &&
           base[3] <= u'9';
}

WinPath WinPath::parse(const QString& text) {
    WinPath p;
    if (text.size() > LongestText) {
        p.problem = Problem::TooLong;
        return p;
    }
    const QString t = text.trimmed();
    if (t.size() < 2 || t[1] != u':' || !t[0].isLetter() || t[0].unicode() > 127)
        return p;
    p.drive = t[0].toUpper();
    const bool endsWithSeparator = t.endsWith(u'\\') || t.endsWith(u'/');
    QStringList parts;
    qsizetype start = 2;
    for (qsizetype i = 2; i <= t.size(); ++i) {
        if (i < t.size() && t[i] != u'\\' && t[i] != u'/')
            continue;
        if (i > start)
            parts << t.mid(start, i - start);
        start = i + 1;
    }
    for (qsizetype k = 0; k < parts.size(); ++k) {
        QString name = parts[k];
        if (name == u"."_s)
            continue;
        if (name == u".."_s) {
            if (!p.names.isEmpty())
                p.names.removeLast();
            continue;
        }
        if (k == parts.size() - 1 && !endsWithSeparator) {
            while (!name.isEmpty() && (name.endsWith(u' ') || name.endsWith(u'.')))
                name.chop(1);
        } else if (name.endsWith(u'.') && !name.endsWith(u".."_s)) {
            name.chop(1);
        }
        if (name.isEmpty())
            continue;
        for (QChar c : name)
            if (forbidden(c))
                p.problem = Problem::BadName;
        if (p.problem == Problem::None && isDeviceName(name))
            p.problem = Problem::Device;
        p.names << name;
    }
    // The length of toString(): "D:\" and the names with a separator between each two.
    qsizetype length = 3 + (p.names.isEmpty() ? 0 : p.names.size() - 1);
    for (const QString& name : std::as_const(p.names))
        length += name.size();
    if (p.problem == Problem::None && length > MaxPath)
        p.problem = Problem::TooLong;
    return p;
}

QString WinPath::toString() const {
    if (drive.isNull())
        return {};
    return QString(drive) + u":\\"_s + names.join(u'\\');
}

QString hostPathOf(const QString& drivesFolder, const QString& windowsPath) {
    return hostPathOf(drivesFolder, WinPath::parse(windowsPath));
}

namespace {

// Nothing on the machine makes symbolic links: one found in the drives was planted from outside
// and may lead out of them (or, dangling, create its target there). It is never followed.
bool isLink(const QString& host) {
    struct stat st {};
    return ::lstat(QFile::encodeName(host).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

QString hostPathOf(const QString& drivesFolder, const WinPath& p, qsizetype* existingNames) {
    if (existingNames)
        *existingNames = 0;
    if (!p.valid())
        return {};
    QString current = drivesFolder + u'/' + p.drive;
    if (!QFileInfo(current).isDir() || isLink(current))
        return {};
    bool exists = true;
    for (const QString& name : p.names) {
        if (exists && QFileInfo::exists(current + u'/' + name)) {
            current += u'/' + name; // the name as written is there: the usual case
            if (isLink(current))
                return {};
            if (existingNames)
                ++*existingNames;
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
                if (isLink(current))
                    return {};
                if (existingNames)
                    ++*existingNames;
                continue;
            }
            exists = false;
            if (isLink(current + u'/' + name))
                return {}; // a dangling link
        }
        current += u'/' + name;
    }
    return current;
}

} // namespace emulation::files
