// velmoraconv: one site's records of a central binary log as a W3C extended log.

#include "emulation/programs/velmoraconv/Conversion.h"

#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/iislog/W3cText.h"
#include "emulation/iislog/WriteAll.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velmoraconv {

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Usage =
    u"用法：velmoraconv -i:BIN -o:W3C \"select * into 输出文件 from 输入文件 where siteid=网站标识\""_s;

constexpr qint64 MsPerDay = 86400000;
constexpr qsizetype WriteChunk = 1024 * 1024;
// A large log's parts read side by side: small enough that a few parts' lines held in memory stay
// small, large enough that a part's start and end cost little.
constexpr qint64 PartBytes = 4 * 1024 * 1024;
constexpr qint64 UnixEpochJulianDay = 2440588;

// "2024-01-05 00:00:01" for a UTC time in milliseconds since the epoch.
QByteArray w3cDateTime(qint64 ms) {
    qint64 day = ms / MsPerDay;
    qint64 rest = ms % MsPerDay;
    if (rest < 0) {
        rest += MsPerDay;
        --day;
    }
    const QDate date = QDate::fromJulianDay(UnixEpochJulianDay + day);
    const qint64 secs = rest / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", date.year(), date.month(), date.day(),
                  static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
    return QByteArray(text);
}

char* writeNumber(char* out, quint64 value, char after = ' ') {
    out = std::to_chars(out, out + 20, value).ptr;
    if (after)
        *out++ = after;
    return out;
}

char* writeTwo(char* out, int value, char after) {
    *out++ = static_cast<char>('0' + value / 10);
    *out++ = static_cast<char>('0' + value % 10);
    *out++ = after;
    return out;
}

// Writes the lines of one site; the date text is made once a day. A line is written straight into
// room made for it at the end of the buffer, the most it can take, and the buffer cut to what it
// took.
class LineWriter {
public:
    void append(QByteArray& out, const iislog::RecordView& r) {
        qint64 day = r.timeMs / MsPerDay;
        qint64 rest = r.timeMs % MsPerDay;
        if (rest < 0) {
            rest += MsPerDay;
            --day;
        }
        if (day != m_day) {
            m_day = day;
            m_date = w3cDateTime(day * MsPerDay).left(11); // "2024-01-05 "
        }
        qsizetype room = m_date.size() + 9 + 5 + 7 * 21 + 2; // date, time, "W3SVC", numbers, CRLF
        for (const std::string_view text : r.text)
            room += iislog::w3cValueRoom(text);
        const qsizetype at = out.size();
        if (out.capacity() < at + room)
            out.reserve(std::max(2 * out.capacity(), at + room));
        out.resize(at + room);
        char* p = out.data() + at;
        std::memcpy(p, m_date.constData(), static_cast<std::size_t>(m_date.size()));
        p += m_date.size();
        const int secs = static_cast<int>(rest / 1000);
        p = writeTwo(p, secs / 3600, ':');
        p = writeTwo(p, secs / 60 % 60, ':');
        p = writeTwo(p, secs % 60, ' ');
        std::memcpy(p, "W3SVC", 5);
        p = writeNumber(p + 5, r.siteId);
        using T = iislog::RecordView;
        p = iislog::writeW3cValue(p, r.text[T::ServerIp]);
        p = iislog::writeW3cValue(p, r.text[T::Method]);
        p = iislog::writeW3cValue(p, r.text[T::UriStem]);
        p = iislog::writeW3cValue(p, r.text[T::UriQuery]);
        p = writeNumber(p, r.serverPort);
        p = iislog::writeW3cValue(p, r.text[T::UserName]);
        p = iislog::writeW3cValue(p, r.text[T::ClientIp]);
        p = iislog::writeW3cValue(p, r.text[T::ProtocolVersion]);
        p = iislog::writeW3cValue(p, r.text[T::UserAgent]);
        p = iislog::writeW3cValue(p, r.text[T::Cookie]);
        p = iislog::writeW3cValue(p, r.text[T::Referrer]);
        p = iislog::writeW3cValue(p, r.text[T::Host]);
        p = writeNumber(p, r.status);
        p = writeNumber(p, r.substatus);
        p = writeNumber(p, r.win32Status);
        p = writeNumber(p, r.bytesSent);
        p = writeNumber(p, r.bytesReceived);
        p = writeNumber(p, r.timeTaken, 0);
        *p++ = '\r';
        *p++ = '\n';
        out.resize(p - out.constData());
    }

private:
    qint64 m_day = std::numeric_limits<qint64>::min();
    QByteArray m_date;
};

QByteArray w3cHeader(qint64 startedMs) {
    QByteArray header;
    header += "#Software: ";
    header += Name;
    header += ' ';
    header += Version;
    header += "\r\n#Version: 1.0\r\n#Date: ";
    header += w3cDateTime(startedMs);
    header +=
        "\r\n#Fields: date time s-sitename s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
        "cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status "
        "sc-bytes cs-bytes time-taken\r\n";
    return header;
}

// The start of the log when the site has no records: midnight of the file's day.
qint64 dayStart(const iislog::FileHeader& header) {
    const QDate day(static_cast<int>(header.day / 10000), static_cast<int>(header.day / 100 % 100),
                    static_cast<int>(header.day % 100));
    if (!day.isValid())
        return header.createdMs;
    return (day.toJulianDay() - UnixEpochJulianDay) * MsPerDay;
}

QString writeError(int error) {
    if (error == ENOSPC || error == EDQUOT || error == EFBIG)
        return u"磁盘空间不足。"_s;
    return QString::fromLocal8Bit(std::strerror(error));
}

// The output log, written to a new file beside it and renamed over it once whole. It holds client
// addresses and cookies: only its owner may read it.
class OutputFile {
public:
    ~OutputFile() {
        stopSyncing();
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(m_temp.constData());
        }
    }
    bool open(const QString& hostPath) {
        m_target = QFile::encodeName(hostPath);
        const qsizetype slash = m_target.lastIndexOf('/');
        const QByteArray folder = slash < 0 ? QByteArray(".") : m_target.left(slash);
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_temp = folder + "/." + Name + '-' + QByteArray::number(::getpid()) + '-' +
                     QByteArray::number(attempt);
            m_fd = ::open(m_temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (m_fd >= 0 || errno != EEXIST)
                break;
        }
        return m_fd >= 0 || fail();
    }
    bool write(const QByteArray& bytes) {
        if (!iislog::writeAll(m_fd, bytes.constData(), bytes.size()))
            return fail();
        m_written += bytes.size();
        // What is written reaches the disk while the log is still being read, a megabyte at a time,
        // so that commit() waits for little.
        if (m_written - m_syncRequested >= SyncEvery) {
            m_syncRequested = m_written;
            if (!m_syncer.joinable())
                m_syncer = std::jthread([this] { syncWhileWritten(); });
            const std::lock_guard lock(m_syncMutex);
            m_syncWanted = true;
            m_syncChanged.notify_one();
        }
        return true;
    }
    bool commit() {
        const int syncError = stopSyncing();
        if (syncError != 0) {
            errno = syncError;
            return fail();
        }
        if (::fdatasync(m_fd) != 0)
            return fail();
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 || ::rename(m_temp.constData(), m_target.constData()) != 0) {
            const int error = errno;
            ::unlink(m_temp.constData());
            errno = error;
            return fail();
        }
        return true;
    }
    QString errorString() const { return m_error; }

private:
    static constexpr qint64 SyncEvery = 1024 * 1024;

    bool fail() {
        m_error = writeError(errno);
        return false;
    }
    // The syncing thread: the file's data to the disk whenever asked, until stopped. The first
    // failure is kept for commit().
    void syncWhileWritten() {
        std::unique_lock lock(m_syncMutex);
        for (;;) {
            m_syncChanged.wait(lock, [this] { return m_syncWanted || m_syncStop; });
            if (m_syncStop)
                return;
            m_syncWanted = false;
            lock.unlock();
            const int error = ::fdatasync(m_fd) == 0 ? 0 : errno;
            lock.lock();
            if (m_syncError == 0)
                m_syncError = error;
        }
    }
    // Stops the syncing thread; the first failure of its syncs (0 if none).
    int stopSyncing() {
        if (m_syncer.joinable()) {
            {
                const std::lock_guard lock(m_syncMutex);
                m_syncStop = true;
                m_syncChanged.notify_one();
            }
            m_syncer.join();
        }
        return m_syncError;
    }

    QByteArray m_target;
    QByteArray m_temp;
    int m_fd = -1;
    qint64 m_written = 0;
    qint64 m_syncRequested = 0; // what had been written when a sync was last asked for
    QString m_error;
    std::mutex m_syncMutex;
    std::condition_variable m_syncChanged;
    bool m_syncWanted = false;
    bool m_syncStop = false;
    int m_syncError = 0;
    std::jthread m_syncer; // last: stopped before the rest goes
};

// What has been written of the site: its lines, the time of its first record, and the damage
// passed over on the way.
struct Extraction {
    quint64 written = 0;
    std::optional<qint64> firstTime;
    quint64 damaged = 0;
    QString readError;  // why reading stopped early
    QString writeError; // why writing failed
};

// Reads the site's records of a reader to its end and writes their lines, a chunk at a time, with
// the log's header in front of the first.
void extractLines(iislog::Reader& reader, OutputFile& file, Extraction& done) {
    QByteArray pending;
    pending.reserve(WriteChunk + 64 * 1024);
    iislog::RecordView record;
    LineWriter lines;
    while (reader.next(record)) {
        if (!done.firstTime) {
            done.firstTime = record.timeMs;
            pending += w3cHeader(record.timeMs);
        }
        lines.append(pending, record);
        ++done.written;
        if (pending.size() >= WriteChunk) {
            if (!file.write(pending)) {
                done.writeError = file.errorString();
                return;
            }
            pending.resize(0); // keeps its memory: a new one would be paged in again
        }
    }
    if (!pending.isEmpty() && !file.write(pending)) {
        done.writeError = file.errorString();
        return;
    }
    done.damaged += reader.damagedRecords();
    done.readError = reader.errorString();
}

// The site's lines of one part of the log, as its reader found them: from where it started to
// where it stopped, in front of the first record at or after the next part.
struct PartLines {
    qint64 start = 0;
    qint64 end = 0;
    QByteArray lines;
    quint64 count = 0;
    std::optional<qint64> firstTime;
    quint64 damaged = 0;
    QString readError;
};

// A large log is read in parts by several threads side by side, each part's lines kept in memory
// until the parts before it are written: the output grows in order while the log is read, so the
// disk has it when reading ends. A part's reader starts at the first sound record at or after the
// part's start and reads on to the first record at or after the next part's start. Where that is
// not where the next part's reader started (damage near the boundary hid where records start), the
// next part is read again from where this one ended: the output is always what one reader from start
// to end gives.
class PartedExtraction {
public:
    PartedExtraction(const iislog::Reader& whole, quint32 site, qint64 partBytes, OutputFile& file)
        : m_whole(whole), m_site(site), m_partBytes(partBytes), m_file(file), m_first(whole.position()),
          m_parts(std::max<qint64>(1, (whole.fileSize() - m_first + partBytes - 1) / partBytes)),
          m_expectedStart(m_first) {}

    Extraction run(int threads) {
        threads = static_cast<int>(std::clamp<qint64>(threads, 1, m_parts));
        m_window = threads + 2;
        {
            std::vector<std::jthread> others;
            for (int i = 1; i < threads; ++i)
                others.emplace_back([this] { work(); });
            work();
        }
        return m_done;
    }

private:
    qint64 boundary(qint64 part) const {
        return part >= m_parts ? std::numeric_limits<qint64>::max() : m_first + part * m_partBytes;
    }

    // Reads a part: from the first sound record at or after from, or from exactly there.
    PartLines read(iislog::Reader& reader, qint64 part, qint64 from, bool exact,
                   QByteArray memory = {}) const {
        PartLines lines;
        lines.lines = std::move(memory);
        if (!(exact ? reader.openAt(m_whole, from) : reader.openPart(m_whole, from))) {
            lines.readError = reader.errorString();
            return lines;
        }
        reader.setSiteFilter(m_site);
        reader.setEnd(boundary(part + 1));
        lines.start = reader.position();
        // As much as a part of a site that has every record takes: memory not written to is never
        // paged in, and the lines never move while they grow.
        lines.lines.reserve(m_partBytes + m_partBytes / 4);
        iislog::RecordView record;
        LineWriter writer;
        while (reader.next(record)) {
            if (!lines.firstTime)
                lines.firstTime = record.timeMs;
            writer.append(lines.lines, record);
            ++lines.count;
        }
        lines.end = reader.position();
        lines.damaged = reader.damagedRecords();
        lines.readError = reader.errorString();
        return lines;
    }

    // Writes the parts read so far in order; run by one thread at a time, without the lock.
    bool write(iislog::Reader& reader, qint64 part, PartLines& lines) {
        if (lines.readError.isEmpty() && lines.start != m_expectedStart)
            lines = read(reader, part, m_expectedStart, true);
        if (!lines.readError.isEmpty()) {
            m_done.readError = lines.readError;
            return false;
        }
        m_expectedStart = lines.end;
        m_done.damaged += lines.damaged;
        if (lines.count == 0)
            return true;
        m_done.written += lines.count;
        const bool first = !m_done.firstTime;
        if (first)
            m_done.firstTime = lines.firstTime;
        if ((first && !m_file.write(w3cHeader(*lines.firstTime))) || !m_file.write(lines.lines)) {
            m_done.writeError = m_file.errorString();
            return false;
        }
        return true;
    }

    void work() {
        iislog::Reader reader;
        std::unique_lock lock(m_mutex);
        for (;;) {
            // Parts read ahead of the writing wait in memory: only a few at a time.
            m_changed.wait(
                lock, [&] { return m_stop || m_claimed >= m_parts || m_claimed < m_written + m_window; });
            if (m_stop || m_claimed >= m_parts)
                return;
            const qint64 part = m_claimed++;
            QByteArray memory;
            if (!m_spare.empty()) {
                memory = std::move(m_spare.back());
                m_spare.pop_back();
            }
            lock.unlock();
            PartLines lines =
                read(reader, part, part == 0 ? m_first : boundary(part), part == 0, std::move(memory));
            lock.lock();
            m_read.emplace(part, std::move(lines));
            if (m_writing)
                continue;
            m_writing = true;
            for (auto next = m_read.find(m_written); !m_stop && next != m_read.end();
                 next = m_read.find(m_written)) {
                PartLines ready = std::move(next->second);
                m_read.erase(next);
                lock.unlock();
                const bool ok = write(reader, m_written, ready);
                ready.lines.resize(0); // keeps its memory for a part still to be read
                lock.lock();
                m_spare.push_back(std::move(ready.lines));
                m_stop = m_stop || !ok;
                ++m_written;
                m_changed.notify_all();
            }
            m_writing = false;
        }
    }

    const iislog::Reader& m_whole;
    const quint32 m_site;
    const qint64 m_partBytes;
    OutputFile& m_file;
    const qint64 m_first; // the first record's offset
    const qint64 m_parts;
    qint64 m_window = 1;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<qint64, PartLines> m_read; // parts read and not yet written
    std::vector<QByteArray> m_spare;    // the memory of parts written, for the next ones
    qint64 m_claimed = 0;               // parts taken by a thread
    qint64 m_written = 0;               // parts written
    bool m_writing = false;             // a thread writes
    bool m_stop = false;                // a read or a write failed

    // The writing thread's alone.
    qint64 m_expectedStart; // where the last part written ended
    Extraction m_done;
};

// Whether two paths name one file: the same file of the same device, however spelled (letter case
// on the machine, links, "..").
bool sameFile(const QString& a, const QString& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(QFile::encodeName(a).constData(), &sa) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

QString unquote(const QString& path) {
    if (path.size() >= 2 && path.startsWith(u'\'') && path.endsWith(u'\''))
        return path.mid(1, path.size() - 2);
    return path;
}

} // namespace

bool parseArguments(const QStringList& args, Query& query, QString& error) {
    bool binInput = false;
    bool w3cOutput = false;
    QString text;
    for (const QString& arg : args) {
        if (arg.startsWith(u'-') && text.isEmpty() && !arg.contains(u' ')) {
            const QString sw = arg.toLower();
            if (sw == u"-i:bin"_s) {
                binInput = true;
            } else if (sw == u"-o:w3c"_s) {
                w3cOutput = true;
            } else if (sw.startsWith(u"-i:"_s) || sw.startsWith(u"-o:"_s)) {
                error = u"不支持的格式“%1”：只能从 BIN 转换为 W3C。"_s.arg(arg);
                return false;
            } else {
                error = u"无法识别的参数“%1”。"_s.arg(arg);
                return false;
            }
            continue;
        }
        if (!text.isEmpty()) {
            error = u"多余的参数“%1”。"_s.arg(arg);
            return false;
        }
        text = arg;
    }
    if (!binInput || !w3cOutput) {
        error = u"缺少 -i:BIN 或 -o:W3C 参数。"_s;
        return false;
    }
    if (text.isEmpty()) {
        error = u"缺少查询语句。"_s;
        return false;
    }
    static const QRegularExpression pattern(
        u"^\\s*select\\s+\\*\\s+into\\s+(.+?)\\s+from\\s+(.+?)\\s+where\\s+siteid\\s*=\\s*(\\d{1,10})\\s*;?\\s*$"_s,
        QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(text);
    bool numberOk = false;
    const qulonglong site = match.hasMatch() ? match.captured(3).toULongLong(&numberOk) : 0;
    if (!match.hasMatch() || !numberOk || site == 0 || site > 0xFFFFFFFFull) {
        error = u"无法理解的查询“%1”。"_s.arg(text);
        return false;
    }
    query.output = unquote(match.captured(1));
    query.input = unquote(match.captured(2));
    query.siteId = static_cast<quint32>(site);
    return true;
}

qint64 defaultPartBytes() {
    return std::thread::hardware_concurrency() >= 2 ? PartBytes : std::numeric_limits<qint64>::max();
}

int run(const QStringList& args, const PathResolver& paths, QString& output, qint64 partBytes) {
    auto fail = [&](ExitStatus status, const QString& message) {
        output += message + u"\r\n"_s;
        if (status == BadArguments)
            output += Usage + u"\r\n"_s;
        return static_cast<int>(status);
    };
    Query query;
    QString error;
    if (!parseArguments(args, query, error))
        return fail(BadArguments, error);

    const Resolved in = paths.input(query.input);
    if (!in.error.isEmpty())
        return fail(in.status == Success ? BadInput : in.status, in.error);
    const Resolved out = paths.output(query.output);
    if (!out.error.isEmpty())
        return fail(out.status == Success ? BadOutput : out.status, out.error);
    // Writing the log over the day's binary log would lose every other site's records.
    if (sameFile(in.hostPath, out.hostPath)) {
        output += u"输出文件就是输入文件：%1。请另选输出文件。\r\n"_s.arg(query.output);
        return BadArguments;
    }

    iislog::Reader reader;
    if (!reader.open(in.hostPath)) {
        switch (reader.openError()) {
        case iislog::Reader::OpenError::Missing:
            return fail(BadInput, u"日志文件不存在：%1"_s.arg(query.input));
        case iislog::Reader::OpenError::DamagedHeader:
            return fail(BadInput, u"日志文件已损坏（文件头无效）：%1"_s.arg(query.input));
        case iislog::Reader::OpenError::NewerVersion:
            return fail(BadInput, u"日志文件的格式版本较新，无法读取：%1"_s.arg(query.input));
        case iislog::Reader::OpenError::NotAFile:
            return fail(BadInput, u"日志文件不是普通文件：%1"_s.arg(query.input));
        default:
            return fail(BadInput, u"无法读取日志文件：%1"_s.arg(query.input));
        }
    }
    reader.setSiteFilter(query.siteId);

    OutputFile file;
    if (!file.open(out.hostPath))
        return fail(BadOutput, u"无法写入输出文件 %1：%2"_s.arg(query.output, file.errorString()));

    Extraction done;
    if (reader.fileSize() - reader.position() > partBytes) {
        const int threads = static_cast<int>(std::min(std::thread::hardware_concurrency(), 4u));
        done = PartedExtraction(reader, query.siteId, partBytes, file).run(threads);
    } else {
        extractLines(reader, file, done);
    }
    const auto writeFailure = [&](const QString& why) {
        return fail(BadOutput, u"无法写入输出文件 %1：%2"_s.arg(query.output, why));
    };
    if (!done.writeError.isEmpty())
        return writeFailure(done.writeError);
    if (!done.readError.isEmpty())
        return fail(BadInput, u"读取日志文件 %1 失败：%2"_s.arg(query.input, done.readError));
    if (!done.firstTime && !file.write(w3cHeader(dayStart(reader.header()))))
        return writeFailure(file.errorString());
    if (!file.commit())
        return writeFailure(file.errorString());
    const quint64 damaged = done.damaged;
    const quint64 written = done.written;

    if (damaged > 0)
        output += u"警告：跳过了 %1 处损坏或不完整的记录。\r\n"_s.arg(damaged);
    output += u"网站 %1 的 %2 条记录已写入 %3\r\n"_s.arg(query.siteId).arg(written).arg(query.output);
    return Success;
}

} // namespace velmoraconv
