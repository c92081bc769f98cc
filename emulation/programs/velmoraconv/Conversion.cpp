// velmoraconv: one site's records of a central binary log as a W3C extended log.

#include "emulation/programs/velmoraconv/Conversion.h"

#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/iislog/W3cText.h"
#include "emulation/iislog/WriteAll.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <limits>
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

void appendNumber(QByteArray& line, quint64 value, char after = ' ') {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end - digits);
    if (after)
        line += after;
}

void appendTwo(QByteArray& line, int value, char after) {
    const char text[3] = {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10), after};
    line.append(text, 3);
}

// Writes the lines of one site; the date text is made once a day.
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
        out += m_date;
        const int secs = static_cast<int>(rest / 1000);
        appendTwo(out, secs / 3600, ':');
        appendTwo(out, secs / 60 % 60, ':');
        appendTwo(out, secs % 60, ' ');
        out += "W3SVC";
        appendNumber(out, r.siteId);
        using T = iislog::RecordView;
        iislog::appendW3cValue(out, r.text[T::ServerIp]);
        iislog::appendW3cValue(out, r.text[T::Method]);
        iislog::appendW3cValue(out, r.text[T::UriStem]);
        iislog::appendW3cValue(out, r.text[T::UriQuery]);
        appendNumber(out, r.serverPort);
        iislog::appendW3cValue(out, r.text[T::UserName]);
        iislog::appendW3cValue(out, r.text[T::ClientIp]);
        iislog::appendW3cValue(out, r.text[T::ProtocolVersion]);
        iislog::appendW3cValue(out, r.text[T::UserAgent]);
        iislog::appendW3cValue(out, r.text[T::Cookie]);
        iislog::appendW3cValue(out, r.text[T::Referrer]);
        iislog::appendW3cValue(out, r.text[T::Host]);
        appendNumber(out, r.status);
        appendNumber(out, r.substatus);
        appendNumber(out, r.win32Status);
        appendNumber(out, r.bytesSent);
        appendNumber(out, r.bytesReceived);
        appendNumber(out, r.timeTaken, 0);
        out += "\r\n";
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
        const char* data = bytes.constData();
        qsizetype size = bytes.size();
        while (size > 0) {
            const ssize_t n = ::write(m_fd, data, static_cast<size_t>(size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail();
            data += n;
            size -= n;
        }
        // The disk starts on what is written while the log is still being read, so that the wait
        // for it in commit() is short. Only a hint: commit() says whether the bytes are stored.
        ::sync_file_range(m_fd, m_written, bytes.size(), SYNC_FILE_RANGE_WRITE);
        m_written += bytes.size();
        return true;
    }
    // Appends the bytes of another file (read from its start).
    bool appendFrom(int fd) {
        if (::lseek(fd, 0, SEEK_SET) != 0)
            return fail();
        for (;;) {
            const ssize_t n = ::copy_file_range(fd, nullptr, m_fd, nullptr, 1 << 30, 0);
            if (n == 0)
                return true;
            if (n > 0)
                continue;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return fail();
            break; // a file system that cannot copy within the kernel: copied here
        }
        std::vector<char> buffer(static_cast<std::size_t>(WriteChunk));
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail();
            if (n == 0)
                return true;
            if (!write(QByteArray::fromRawData(buffer.data(), n)))
                return false;
        }
    }
    bool commit() {
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
    bool fail() {
        m_error = writeError(errno);
        return false;
    }
    QByteArray m_target;
    QByteArray m_temp;
    int m_fd = -1;
    qint64 m_written = 0;
    QString m_error;
};

// A file for lines written beside the output, in its folder, with no name: it is gone when closed,
// whatever happens.
class ScratchFile {
public:
    ~ScratchFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool open(const QString& besideHostPath) {
        const QByteArray target = QFile::encodeName(besideHostPath);
        const qsizetype slash = target.lastIndexOf('/');
        const QByteArray folder = slash < 0 ? QByteArray(".") : target.left(slash);
        m_fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        for (int attempt = 0; m_fd < 0 && attempt < 100; ++attempt) {
            const QByteArray name = folder + "/." + Name + '-' + QByteArray::number(::getpid()) + "-part-" +
                                    QByteArray::number(attempt);
            m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (m_fd >= 0)
                ::unlink(name.constData());
            else if (errno != EEXIST)
                break;
        }
        if (m_fd < 0)
            m_error = writeError(errno);
        return m_fd >= 0;
    }
    bool write(const QByteArray& bytes) {
        if (iislog::writeAll(m_fd, bytes.constData(), bytes.size()))
            return true;
        m_error = writeError(errno);
        return false;
    }
    int fd() const { return m_fd; }
    QString errorString() const { return m_error; }

private:
    int m_fd = -1;
    QString m_error;
};

// One reader's lines of the site, written out a chunk at a time.
struct Part {
    quint64 written = 0;
    std::optional<qint64> firstTime; // of the first record
    bool writeFailed = false;
};

// Reads the site's records of a reader to its end and writes their lines; with a header in front of
// the first when asked. False when a write failed.
template <typename Write> bool extractLines(iislog::Reader& reader, bool header, Part& part, Write&& write) {
    QByteArray pending;
    pending.reserve(WriteChunk + 64 * 1024);
    iislog::RecordView record;
    LineWriter lines;
    while (reader.next(record)) {
        if (!part.firstTime) {
            part.firstTime = record.timeMs;
            if (header)
                pending += w3cHeader(record.timeMs);
        }
        lines.append(pending, record);
        ++part.written;
        if (pending.size() >= WriteChunk) {
            if (!write(pending)) {
                part.writeFailed = true;
                return false;
            }
            pending.clear();
        }
    }
    if (!pending.isEmpty() && !write(pending)) {
        part.writeFailed = true;
        return false;
    }
    return true;
}

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

qint64 defaultSplitFrom() {
    return std::thread::hardware_concurrency() >= 2 ? 64 * 1024 * 1024 : std::numeric_limits<qint64>::max();
}

int run(const QStringList& args, const PathResolver& paths, QString& output, qint64 splitFrom) {
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

    const auto writeFailure = [&](const QString& why) {
        return fail(BadOutput, u"无法写入输出文件 %1：%2"_s.arg(query.output, why));
    };
    const auto readFailure = [&](const QString& why) {
        return fail(BadInput, u"读取日志文件 %1 失败：%2"_s.arg(query.input, why));
    };
    const auto toFile = [&](const QByteArray& bytes) {
        return file.write(bytes);
    };
    Part first;
    Part latter;
    quint64 damaged = 0;
    bool whole = false; // the first reader has read to the end
    // A large log is read in two halves side by side when the processor has two cores: the second
    // half's reader starts at the first sound record after the middle, and its lines go into a
    // scratch file that is appended to the output. The first half's reader reads on to where the
    // second began. Should it come to another place instead (damage near the middle that hides where
    // records start), the second half's work is dropped and the first reader reads on to the end: the
    // output is always what one reader from start to end gives.
    iislog::Reader second;
    ScratchFile scratch;
    if (reader.fileSize() >= splitFrom && second.openPart(reader, reader.fileSize() / 2)) {
        second.setSiteFilter(query.siteId);
        const qint64 secondStart = second.position();
        reader.setEnd(secondStart);
        if (!scratch.open(out.hostPath))
            return writeFailure(scratch.errorString());
        bool firstOk = true;
        {
            std::jthread worker([&] {
                extractLines(second, false, latter,
                             [&](const QByteArray& bytes) { return scratch.write(bytes); });
            });
            firstOk = extractLines(reader, true, first, toFile);
        }
        if (!firstOk)
            return writeFailure(file.errorString());
        if (!reader.errorString().isEmpty())
            return readFailure(reader.errorString());
        reader.setEnd(std::numeric_limits<qint64>::max());
        if (reader.position() == secondStart) {
            if (latter.writeFailed)
                return writeFailure(scratch.errorString());
            if (!second.errorString().isEmpty())
                return readFailure(second.errorString());
            whole = true;
            if (!first.firstTime && latter.firstTime && !file.write(w3cHeader(*latter.firstTime)))
                return writeFailure(file.errorString());
            if (!file.appendFrom(scratch.fd()))
                return writeFailure(file.errorString());
            damaged = second.damagedRecords();
            if (latter.firstTime)
                first.firstTime = latter.firstTime;
        } else {
            latter = {};
        }
    }
    if (!whole) {
        if (!extractLines(reader, true, first, toFile))
            return writeFailure(file.errorString());
        if (!reader.errorString().isEmpty())
            return readFailure(reader.errorString());
    }
    if (!first.firstTime && !file.write(w3cHeader(dayStart(reader.header()))))
        return writeFailure(file.errorString());
    if (!file.commit())
        return writeFailure(file.errorString());
    damaged += reader.damagedRecords();
    const quint64 written = first.written + latter.written;

    if (damaged > 0)
        output += u"警告：跳过了 %1 处损坏或不完整的记录。\r\n"_s.arg(damaged);
    output += u"网站 %1 的 %2 条记录已写入 %3\r\n"_s.arg(query.siteId).arg(written).arg(query.output);
    return Success;
}

} // namespace velmoraconv
