#include "emulation/metabase/History.h"

#include "emulation/machine/Database.h"
#include "emulation/metabase/MetabaseXml.h"
#include "emulation/metabase/PropertyRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>

namespace emulation::metabase::history {

using namespace Qt::Literals::StringLiterals;
using machine::Database;

namespace {

QMutex guard;
std::function<QDateTime()>& clockFunction() {
    static std::function<QDateTime()> clock;
    return clock;
}
// The newest version each History folder was seen to hold by this process: no other process
// removes versions younger than a minute, so a change within that minute needs no look.
QHash<QString, QDateTime>& newestSeen() {
    static QHash<QString, QDateTime> seen;
    return seen;
}

QDateTime now() {
    QMutexLocker lock(&guard);
    const auto& clock = clockFunction();
    return clock ? clock() : QDateTime::currentDateTimeUtc();
}

const QRegularExpression& versionName() {
    static const QRegularExpression re(u"^MetaBase_(\\d{10})_(\\d{10})\\.xml$"_s,
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}

QString padded(int n) {
    return u"%1"_s.arg(n, 10, 10, QChar(u'0'));
}

int sitesIn(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(f.readAll().count("<IIsWebServer\t"));
}

int maxHistoryFiles(Database& db) {
    auto st = db.prepare("SELECT props FROM mb_keys WHERE path = '/lm'");
    if (st.step())
        if (const auto v = PropertyRecord::find(st.text(0), u"MaxHistoryFiles"); v && v->toNumber() > 0)
            return static_cast<int>(v->toNumber());
    return 10;
}

// The schema that goes with a version. The emulation's schema is compiled in, so every version
// carries the same one.
QByteArray schemaText() {
    return "<?xml version =\"1.0\"?>\n"
           "<MetaData xmlns=\"x-schema:CatMeta_v7.xms\">\n"
           "\t<DatabaseMeta InternalName=\"MetabaseBaseClass\">\n"
           "\t\t<Collection InternalName=\"MBProperty\"/>\n"
           "\t</DatabaseMeta>\n"
           "</MetaData>\n";
}

bool writeFile(const QString& path, const QByteArray& bytes, const QDateTime& time) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        return false;
    QFile written(path);
    return written.open(QIODevice::ReadWrite) && written.setFileTime(time, QFileDevice::FileModificationTime);
}

} // namespace

void setClock(std::function<QDateTime()> clock) {
    QMutexLocker lock(&guard);
    clockFunction() = std::move(clock);
    newestSeen().clear();
}

QString Version::name() const {
    return u"MetaBase_"_s + padded(major) + u'_' + padded(minor) + u".xml"_s;
}

QString folder(Database& db) {
    auto st = db.prepare("PRAGMA database_list");
    QString file;
    while (st.step())
        if (st.text(1) == u"main"_s)
            file = st.text(2);
    if (file.isEmpty())
        return {};
    return QFileInfo(file).absolutePath() + u"/drives/C/WINDOWS/system32/inetsrv/History"_s;
}

std::vector<Version> versions(Database& db) {
    std::vector<Version> out;
    const QString dir = folder(db);
    if (dir.isEmpty())
        return out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files)) {
        const auto m = versionName().match(info.fileName());
        if (!m.hasMatch())
            continue;
        out.push_back({m.captured(1).toInt(), m.captured(2).toInt(), info.lastModified().toUTC(), 0,
                       info.absoluteFilePath()});
    }
    std::sort(out.begin(), out.end(), [](const Version& a, const Version& b) {
        return std::pair(a.major, a.minor) < std::pair(b.major, b.minor);
    });
    for (Version& v : out)
        v.sites = sitesIn(v.file);
    return out;
}

platform::Status beforeChange(Database& db) {
    const QDateTime time = now();
    const QString dir = folder(db);
    if (dir.isEmpty())
        return {};
    {
        QMutexLocker lock(&guard);
        const QDateTime seen = newestSeen().value(dir);
        if (seen.isValid() && seen.secsTo(time) < 60 && seen <= time)
            return {};
    }
    int major = 0;
    QDateTime newest;
    std::vector<QFileInfo> kept;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files, QDir::Name)) {
        const auto m = versionName().match(info.fileName());
        if (!m.hasMatch())
            continue;
        kept.push_back(info);
        if (m.captured(1).toInt() >= major) {
            major = m.captured(1).toInt();
            newest = info.lastModified().toUTC();
        }
    }
    if (newest.isValid() && newest.secsTo(time) < 60 && newest <= time) {
        QMutexLocker lock(&guard);
        newestSeen().insert(dir, newest);
        return {};
    }
    if (!QDir().mkpath(dir))
        return platform::Error{platform::hr::AccessDenied, u"无法建立 %1"_s.arg(dir)};
    const Version next{major + 1, 0, time, 0, {}};
    const QString file = dir + u'/' + next.name();
    const QString schema = dir + u"/MBSchema_"_s + padded(next.major) + u'_' + padded(next.minor) + u".xml"_s;
    if (!writeFile(file, exportMetabaseXml(db), time) || !writeFile(schema, schemaText(), time))
        return platform::Error{platform::hr::Fail, u"无法写入元数据库历史版本 %1"_s.arg(file)};
    // Only MaxHistoryFiles versions stay: the oldest go, with their schema files.
    const int keep = maxHistoryFiles(db);
    std::sort(kept.begin(), kept.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.fileName().compare(b.fileName(), Qt::CaseInsensitive) < 0;
    });
    for (int excess = static_cast<int>(kept.size()) + 1 - keep, i = 0; i < excess && i < int(kept.size());
         ++i) {
        const QString name = kept[static_cast<size_t>(i)].fileName();
        QFile::remove(kept[static_cast<size_t>(i)].absoluteFilePath());
        QFile::remove(dir + u"/MBSchema"_s + name.mid(8));
    }
    QMutexLocker lock(&guard);
    newestSeen().insert(dir, time);
    return {};
}

std::optional<Version> find(Database& db, const QString& text) {
    static const QRegularExpression shortName(u"^(\\d+)(?:_(\\d+))?$"_s);
    int major = -1, minor = 0;
    if (const auto m = versionName().match(QFileInfo(text).fileName()); m.hasMatch()) {
        major = m.captured(1).toInt();
        minor = m.captured(2).toInt();
    } else if (const auto s = shortName.match(text.trimmed()); s.hasMatch()) {
        major = s.captured(1).toInt();
        minor = s.captured(2).isEmpty() ? 0 : s.captured(2).toInt();
    }
    for (const Version& v : versions(db))
        if (v.major == major && v.minor == minor)
            return v;
    return std::nullopt;
}

platform::Status restore(Database& db, const Version& version) {
    QFile f(version.file);
    if (!f.open(QIODevice::ReadOnly))
        return platform::Error{platform::hr::PathNotFound, u"无法读取 %1"_s.arg(version.file)};
    const QByteArray xml = f.readAll();
    // The version read first: saving the state before the restore may rotate it away.
    if (auto s = beforeChange(db); !s)
        return s;
    return importMetabaseXml(db, xml);
}

} // namespace emulation::metabase::history
