// The central binary log's writer: appends whole records under the file's lock.

#include "emulation/iislog/Format.h"
#include "emulation/iislog/WriteAll.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace iislog {

using namespace Qt::Literals::StringLiterals;
using namespace format;

namespace {

// Holds an exclusive advisory lock on a file for one scope.
class FileLock {
public:
    explicit FileLock(int fd) : m_fd(fd) {
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(m_fd, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd;
};

// The end of the last whole record of a file whose header is sound. Writers append whole records
// under the file's lock, so a crash can only cut off the file's tail: its last bytes are checked,
// never the whole day. The file is whole when a record whose checksum holds ends at its end.
// Otherwise, when the bytes after the last whole record are the beginning of one record (its
// marker, and a length that reaches to or past the file's end), that cut-off record is cut away.
// Any other damage is left in place for the readers to pass over, and the file's size returned.
qint64 endOfWholeRecords(int fd, qint64 fileSize, Crc kind) {
    // The cut-off record and the whole one in front of it are each at most MaxRecord bytes long.
    const qint64 from = std::max<qint64>(HeaderSize, fileSize - 2 * MaxRecord);
    const qsizetype size = fileSize - from;
    std::vector<char> tail(static_cast<std::size_t>(size));
    if (readFull(fd, tail.data(), size, from) != size)
        return fileSize;
    const char* p = tail.data();
    char marker[4];
    store<quint32>(marker, RecordMarker);
    const QByteArrayView data(p, size);
    const QByteArrayView markerBytes(marker, 4);
    // Every stretch's checksum from one pass: false markers claiming long records cost no more.
    StretchChecksums sums(kind);
    bool summed = false;

    // Where the whole records in the tail end (the header's end counts when the tail reaches it).
    qsizetype lastEnd = from == HeaderSize ? 0 : -1;
    for (qsizetype at = data.indexOf(markerBytes); at >= 0 && at + MinRecord <= size;
         at = data.indexOf(markerBytes, at + 1)) {
        const qsizetype length = load<quint32>(p + at + 4);
        if (length < MinRecord || length > MaxRecord || at + length > size)
            continue;
        if (!summed) {
            sums.build(p, size);
            summed = true;
        }
        RecordView view;
        if (sums.of(at + 4, at + length - 4) != load<quint32>(p + at + length - 4) ||
            !layView(p + at, length, view))
            continue;
        if (at + length == size)
            return fileSize; // the last record is whole
        lastEnd = std::max(lastEnd, at + length);
    }
    if (lastEnd < 0)
        return fileSize;
    const qsizetype left = size - lastEnd;
    if (std::memcmp(p + lastEnd, marker, static_cast<std::size_t>(std::min<qsizetype>(left, 4))) != 0)
        return fileSize;
    if (left >= 8) {
        const quint32 length = load<quint32>(p + lastEnd + 4);
        if (length < MinRecord || length > MaxRecord || static_cast<qsizetype>(length) < left)
            return fileSize;
    }
    return from + lastEnd;
}

} // namespace
Writer::~Writer() {
    close();
}

bool Writer::open(const QString& hostPath, QDate utcDay) {
    close();
    m_error.clear();
    m_notAFile = false;
    m_lost = m_lostReported = 0;
    const QByteArray native = QFile::encodeName(hostPath);
    // Without blocking and without following a link: a named pipe would hold the writer forever.
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = u"无法打开日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
        return false;
    }
    struct stat kind {};
    if (::fstat(fd, &kind) != 0 || !S_ISREG(kind.st_mode)) {
        m_error = u"日志文件不是普通文件：%1"_s.arg(hostPath);
        m_notAFile = true;
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    quint16 version = FormatVersion;
    {
        FileLock lock(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            m_error = u"无法读取日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
            ::close(fd);
            return false;
        }
        const qint64 size = st.st_size;
        if (size < HeaderSize) {
            // A new file, or one whose writer stopped before its header was whole: no records can
            // be in it yet.
            const QByteArray header = makeHeader(utcDay);
            if ((size > 0 && ::ftruncate(fd, 0) != 0) || !writeAll(fd, header.constData(), header.size())) {
                m_error = u"无法写入日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
                if (::ftruncate(fd, 0) != 0) {
                    // A header cut short is a file no record is in yet: the next writer starts it anew.
                }
                ::close(fd);
                return false;
            }
        } else {
            char head[HeaderSize];
            if (readFull(fd, head, HeaderSize, 0) != HeaderSize) {
                m_error = u"无法读取日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
                ::close(fd);
                return false;
            }
            FileHeader header;
            const HeaderCheck check = checkHeader(head, &header);
            if (check != HeaderCheck::Sound) {
                m_error = check == HeaderCheck::Newer
                              ? u"日志文件 %1 的格式版本较新，无法追加"_s.arg(hostPath)
                              : u"日志文件 %1 的文件头已损坏"_s.arg(hostPath);
                ::close(fd);
                return false;
            }
            // Records are appended in the file's own version.
            version = header.version;
            const qint64 whole = endOfWholeRecords(fd, size, crcOfVersion(version));
            if (whole < size && ::ftruncate(fd, whole) != 0) {
                m_error = u"无法修复日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
                ::close(fd);
                return false;
            }
        }
    }
    m_fd = fd;
    m_version = version;
    m_path = hostPath;
    m_batch.reserve(BatchBytes + 4096);
    return true;
}

void Writer::append(const LogRecord& record) {
    encodeRecord(record, m_batch, m_version);
    ++m_pending;
    if (m_batch.size() >= BatchBytes)
        writeBatch();
}

bool Writer::flush() {
    const bool ok = writeBatch() && m_lost == 0;
    m_lostReported = m_lost;
    m_lost = 0;
    return ok;
}

bool Writer::writeBatch() {
    if (m_batch.isEmpty())
        return true;
    if (m_fd < 0) {
        m_error = u"日志文件未打开"_s;
        m_lost += m_pending;
        m_batch.clear();
        m_pending = 0;
        return false;
    }
    bool ok = true;
    {
        FileLock lock(m_fd);
        struct stat st {};
        const bool sized = ::fstat(m_fd, &st) == 0;
        if (!writeAll(m_fd, m_batch.constData(), m_batch.size())) {
            ok = false;
            m_error = u"无法写入日志文件 %1：%2"_s.arg(m_path, systemError(errno));
            // Take back a batch written in part, so that no record is left cut off.
            if (sized && ::ftruncate(m_fd, st.st_size) != 0) {
                // The next writer to open the file cuts the torn record away.
            }
        }
    }
    if (!ok)
        m_lost += m_pending;
    m_batch.clear();
    m_pending = 0;
    return ok;
}

void Writer::close() {
    if (m_fd < 0)
        return;
    flush();
    ::close(m_fd);
    m_fd = -1;
}
} // namespace iislog
