// Reader and writer of the central binary log; the format is described in CentralBinaryLog.h.

#include "emulation/iislog/CentralBinaryLog.h"

#include <QDateTime>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iislog {

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr std::array<char, 8> Magic = {'V', 'L', 'M', 'R', 'I', 'B', 'L', '\x1A'};
constexpr qsizetype HeaderSize = 32;
constexpr quint32 RecordMarker = 0x4352FEFF;
constexpr qsizetype FixedSize = 52; // marker to the first text
constexpr qsizetype TextCount = 11;
constexpr qsizetype MinRecord = FixedSize + TextCount * 2 + 4;
constexpr qsizetype MaxText = 0xFFFF;
constexpr qsizetype MaxRecord = MinRecord + TextCount * MaxText;
constexpr qsizetype ReadChunk = 128 * 1024; // stays in the processor's cache while its records are read

// Eight tables of the byte-wise CRC, so that eight bytes are taken at a time.
constexpr std::array<std::array<quint32, 256>, 8> makeCrcTables() {
    std::array<std::array<quint32, 256>, 8> t{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr auto CrcTables = makeCrcTables();

template <typename T> T load(const char* p) {
    return qFromLittleEndian<T>(p);
}

// CRC-32 (IEEE 802.3, as zip and PNG use it).
quint32 crc32(const char* data, qsizetype size) {
    quint32 c = 0xFFFFFFFFu;
    const auto& t = CrcTables;
    while (size >= 8) {
        const quint32 lo = load<quint32>(data) ^ c;
        const quint32 hi = load<quint32>(data + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    for (qsizetype i = 0; i < size; ++i)
        c = t[0][(c ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

template <typename T> void put(QByteArray& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.append(
            static_cast<char>(static_cast<unsigned char>((static_cast<quint64>(value) >> (8 * i)) & 0xFF)));
}

template <typename T> void store(char* p, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        p[i] = static_cast<char>(static_cast<unsigned char>((static_cast<quint64>(value) >> (8 * i)) & 0xFF));
}

void putText(QByteArray& out, const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.size() > MaxText) {
        // Cut at a character boundary: never in front of a continuation byte.
        qsizetype cut = MaxText;
        while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80)
            --cut;
        bytes.truncate(cut);
    }
    put<quint16>(out, static_cast<quint16>(bytes.size()));
    out.append(bytes);
}

QByteArray makeHeader(QDate day) {
    QByteArray header;
    header.append(Magic.data(), Magic.size());
    put<quint16>(header, FormatVersion);
    put<quint16>(header, static_cast<quint16>(HeaderSize));
    const quint32 dayCode =
        day.isValid() ? static_cast<quint32>(day.year() * 10000 + day.month() * 100 + day.day()) : 0;
    put<quint32>(header, dayCode);
    put<qint64>(header, QDateTime::currentMSecsSinceEpoch());
    put<quint32>(header, 0);
    put<quint32>(header, crc32(header.constData(), header.size()));
    return header;
}

enum class HeaderCheck { Sound, Damaged, Newer };

HeaderCheck checkHeader(const char* p, FileHeader* out) {
    if (std::memcmp(p, Magic.data(), Magic.size()) != 0)
        return HeaderCheck::Damaged;
    if (load<quint32>(p + 28) != crc32(p, 28))
        return HeaderCheck::Damaged;
    if (load<quint16>(p + 10) != HeaderSize)
        return HeaderCheck::Damaged;
    if (load<quint16>(p + 8) > FormatVersion)
        return HeaderCheck::Newer;
    if (out) {
        out->version = load<quint16>(p + 8);
        out->day = load<quint32>(p + 12);
        out->createdMs = load<qint64>(p + 16);
    }
    return HeaderCheck::Sound;
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

ssize_t readFull(int fd, char* data, qsizetype size, qint64 offset) {
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, static_cast<size_t>(size - done), offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

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
qint64 endOfWholeRecords(int fd, qint64 fileSize) {
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

    // Where the whole records in the tail end (the header's end counts when the tail reaches it).
    qsizetype lastEnd = from == HeaderSize ? 0 : -1;
    for (qsizetype at = data.indexOf(markerBytes); at >= 0 && at + MinRecord <= size;
         at = data.indexOf(markerBytes, at + 1)) {
        const quint32 length = load<quint32>(p + at + 4);
        RecordView view;
        if (length < MinRecord || length > MaxRecord || at + static_cast<qsizetype>(length) > size ||
            !viewRecord(p + at, length, view))
            continue;
        if (at + static_cast<qsizetype>(length) == size)
            return fileSize; // the last record is whole
        lastEnd = std::max(lastEnd, at + static_cast<qsizetype>(length));
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

QString fileName(QDate utcDay) {
    return u"ra"_s + utcDay.toString(u"yyMMdd"_s) + u".ibl"_s;
}

void encodeRecord(const LogRecord& r, QByteArray& out) {
    const qsizetype start = out.size();
    put<quint32>(out, RecordMarker);
    put<quint32>(out, 0); // the length, filled in below
    put<quint32>(out, r.siteId);
    put<qint64>(out, r.timeMs);
    put<quint16>(out, r.serverPort);
    put<quint16>(out, r.status);
    put<quint16>(out, r.substatus);
    put<quint16>(out, 0);
    put<quint32>(out, r.win32Status);
    put<quint32>(out, r.timeTaken);
    put<quint64>(out, r.bytesSent);
    put<quint64>(out, r.bytesReceived);
    for (const QString* text : {&r.clientIp, &r.userName, &r.serverIp, &r.method, &r.uriStem, &r.uriQuery,
                                &r.protocolVersion, &r.host, &r.userAgent, &r.cookie, &r.referrer})
        putText(out, *text);
    const qsizetype length = out.size() - start + 4;
    store<quint32>(out.data() + start + 4, static_cast<quint32>(length));
    put<quint32>(out, crc32(out.constData() + start + 4, length - 8));
}

namespace {

// The fields of a record whose checksum has been checked.
bool layView(const char* p, qsizetype size, RecordView& v) {
    if (size < MinRecord || load<quint32>(p) != RecordMarker || load<quint32>(p + 4) != size)
        return false;
    v.siteId = load<quint32>(p + 8);
    v.timeMs = load<qint64>(p + 12);
    v.serverPort = load<quint16>(p + 20);
    v.status = load<quint16>(p + 22);
    v.substatus = load<quint16>(p + 24);
    v.win32Status = load<quint32>(p + 28);
    v.timeTaken = load<quint32>(p + 32);
    v.bytesSent = load<quint64>(p + 36);
    v.bytesReceived = load<quint64>(p + 44);
    qsizetype pos = FixedSize;
    const qsizetype end = size - 4;
    for (std::string_view& text : v.text) {
        if (end - pos < 2)
            return false;
        const qsizetype n = load<quint16>(p + pos);
        pos += 2;
        if (end - pos < n)
            return false;
        text = std::string_view(p + pos, static_cast<std::size_t>(n));
        pos += n;
    }
    return pos == end;
}

bool checksumHolds(const char* p, qsizetype size) {
    return load<quint32>(p + size - 4) == crc32(p + 4, size - 8);
}

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

LogRecord toRecord(const RecordView& v) {
    LogRecord r;
    r.timeMs = v.timeMs;
    r.siteId = v.siteId;
    r.serverPort = v.serverPort;
    r.status = v.status;
    r.substatus = v.substatus;
    r.win32Status = v.win32Status;
    r.timeTaken = v.timeTaken;
    r.bytesSent = v.bytesSent;
    r.bytesReceived = v.bytesReceived;
    r.clientIp = toQString(v.text[RecordView::ClientIp]);
    r.userName = toQString(v.text[RecordView::UserName]);
    r.serverIp = toQString(v.text[RecordView::ServerIp]);
    r.method = toQString(v.text[RecordView::Method]);
    r.uriStem = toQString(v.text[RecordView::UriStem]);
    r.uriQuery = toQString(v.text[RecordView::UriQuery]);
    r.protocolVersion = toQString(v.text[RecordView::ProtocolVersion]);
    r.host = toQString(v.text[RecordView::Host]);
    r.userAgent = toQString(v.text[RecordView::UserAgent]);
    r.cookie = toQString(v.text[RecordView::Cookie]);
    r.referrer = toQString(v.text[RecordView::Referrer]);
    return r;
}

} // namespace

bool viewRecord(const char* p, qsizetype size, RecordView& view) {
    return size >= MinRecord && checksumHolds(p, size) && layView(p, size, view);
}

std::optional<LogRecord> decodeRecord(const char* p, qsizetype size) {
    RecordView view;
    if (!viewRecord(p, size, view))
        return std::nullopt;
    return toRecord(view);
}

// ---- Writer ----

Writer::~Writer() {
    close();
}

bool Writer::open(const QString& hostPath, QDate utcDay) {
    close();
    m_error.clear();
    const QByteArray native = QFile::encodeName(hostPath);
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = u"无法打开日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
        return false;
    }
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
            const HeaderCheck check = checkHeader(head, nullptr);
            if (check != HeaderCheck::Sound) {
                m_error = check == HeaderCheck::Newer
                              ? u"日志文件 %1 的格式版本较新，无法追加"_s.arg(hostPath)
                              : u"日志文件 %1 的文件头已损坏"_s.arg(hostPath);
                ::close(fd);
                return false;
            }
            const qint64 whole = endOfWholeRecords(fd, size);
            if (whole < size && ::ftruncate(fd, whole) != 0) {
                m_error = u"无法修复日志文件 %1：%2"_s.arg(hostPath, systemError(errno));
                ::close(fd);
                return false;
            }
        }
    }
    m_fd = fd;
    m_path = hostPath;
    m_batch.reserve(BatchBytes + 4096);
    return true;
}

void Writer::append(const LogRecord& record) {
    encodeRecord(record, m_batch);
    if (m_batch.size() >= BatchBytes)
        flush();
}

bool Writer::flush() {
    if (m_batch.isEmpty())
        return true;
    if (m_fd < 0) {
        m_error = u"日志文件未打开"_s;
        m_batch.clear();
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
    m_batch.clear();
    return ok;
}

void Writer::close() {
    if (m_fd < 0)
        return;
    flush();
    ::close(m_fd);
    m_fd = -1;
}

// ---- Reader ----

Reader::Reader() = default;

Reader::~Reader() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Reader::open(const QString& hostPath) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_error.clear();
    m_openError = OpenError::None;
    m_header = {};
    m_damaged = 0;
    m_begin = m_end = 0;
    m_bufferPos = 0;
    m_eof = false;
    const QByteArray native = QFile::encodeName(hostPath);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        m_openError = error == ENOENT || error == ENOTDIR ? OpenError::Missing : OpenError::Unreadable;
        m_error = m_openError == OpenError::Missing
                      ? u"日志文件不存在：%1"_s.arg(hostPath)
                      : u"无法打开日志文件 %1：%2"_s.arg(hostPath, systemError(error));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        m_openError = OpenError::Unreadable;
        m_error = u"无法读取日志文件：%1"_s.arg(hostPath);
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_fd = fd;
    m_buffer.resize(static_cast<std::size_t>(ReadChunk));
    if (st.st_size == 0) {
        // A writer that stopped before its header: an empty day.
        m_eof = true;
        return true;
    }
    if (!fill(HeaderSize)) {
        m_openError = m_error.isEmpty() ? OpenError::DamagedHeader : OpenError::Unreadable;
        if (m_error.isEmpty())
            m_error = u"日志文件的文件头已损坏：%1"_s.arg(hostPath);
        return false;
    }
    const HeaderCheck check = checkHeader(m_buffer.data() + m_begin, &m_header);
    if (check != HeaderCheck::Sound) {
        m_openError = check == HeaderCheck::Newer ? OpenError::NewerVersion : OpenError::DamagedHeader;
        m_error = check == HeaderCheck::Newer ? u"日志文件的格式版本较新，无法读取：%1"_s.arg(hostPath)
                                              : u"日志文件的文件头已损坏：%1"_s.arg(hostPath);
        return false;
    }
    m_begin += HeaderSize;
    return true;
}

bool Reader::fill(qsizetype need) {
    if (m_end - m_begin >= need)
        return true;
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, static_cast<std::size_t>(m_end - m_begin));
        m_bufferPos += m_begin;
        m_end -= m_begin;
        m_begin = 0;
    }
    if (static_cast<qsizetype>(m_buffer.size()) < need)
        m_buffer.resize(static_cast<std::size_t>(need));
    while (m_end < need && !m_eof) {
        const ssize_t n = ::read(m_fd, m_buffer.data() + m_end,
                                 static_cast<size_t>(static_cast<qsizetype>(m_buffer.size()) - m_end));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = u"读取日志文件失败：%1"_s.arg(systemError(errno));
            m_eof = true;
            return false;
        }
        if (n == 0)
            m_eof = true;
        m_end += n;
    }
    return m_end - m_begin >= need;
}

// Moves to the first sound record at or after a file offset; false when there is none.
bool Reader::resync(qint64 from) {
    ++m_damaged;
    if (from >= m_bufferPos && from <= m_bufferPos + m_end) {
        m_begin = from - m_bufferPos;
    } else {
        if (::lseek(m_fd, from, SEEK_SET) < 0)
            return false;
        m_bufferPos = from;
        m_begin = m_end = 0;
        m_eof = false;
    }
    static constexpr char MarkerBytes[4] = {'\xFF', '\xFE', 'R', 'C'};
    RecordView view;
    for (;;) {
        if (!fill(4))
            return false;
        const char* base = m_buffer.data();
        const void* hit = ::memmem(base + m_begin, static_cast<size_t>(m_end - m_begin), MarkerBytes, 4);
        if (!hit) {
            m_begin = m_end - 3; // a marker may straddle the buffer's end
            continue;
        }
        m_begin = static_cast<const char*>(hit) - base;
        if (fill(12)) {
            const quint32 length = load<quint32>(m_buffer.data() + m_begin + 4);
            if (length >= MinRecord && length <= MaxRecord && fill(length) &&
                viewRecord(m_buffer.data() + m_begin, length, view))
                return true;
        }
        ++m_begin;
    }
}

bool Reader::next(LogRecord& record) {
    RecordView view;
    if (!next(view))
        return false;
    record = toRecord(view);
    return true;
}

bool Reader::next(RecordView& record) {
    qsizetype length = 0;
    const char* bytes = nextRecord(length);
    return bytes && layView(bytes, length, record);
}

const char* Reader::nextRecord(qsizetype& length) {
    if (m_fd < 0)
        return nullptr;
    qint64 skippedFrom = -1; // start of the record last jumped over
    for (;;) {
        if (m_end - m_begin < 12 && !fill(12)) {
            if (m_end > m_begin) {
                // A record cut off in its first bytes at the end of the file.
                ++m_damaged;
                m_begin = m_end;
            }
            return nullptr;
        }
        const char* p = m_buffer.data() + m_begin;
        const qint64 here = m_bufferPos + m_begin;
        const quint32 size = load<quint32>(p + 4);
        if (load<quint32>(p) != RecordMarker || size < MinRecord || size > MaxRecord) {
            // Landing here after a jump means that the record jumped over was cut off: look again
            // from just after its start.
            if (!resync((skippedFrom >= 0 ? skippedFrom : here) + 1))
                return nullptr;
            skippedFrom = -1;
            continue;
        }
        if (m_site != 0 && load<quint32>(p + 8) != m_site) {
            if (m_end - m_begin < size && !fill(size)) {
                // The file ends inside this record.
                if (!resync(here + 1))
                    return nullptr;
                continue;
            }
            m_begin += size;
            skippedFrom = here;
            continue;
        }
        if (m_end - m_begin < size && !fill(size)) {
            if (!resync(here + 1))
                return nullptr;
            skippedFrom = -1;
            continue;
        }
        const char* record = m_buffer.data() + m_begin;
        if (checksumHolds(record, size)) {
            m_begin += size;
            length = size;
            return record;
        }
        if (!resync(here + 1))
            return nullptr;
        skippedFrom = -1;
    }
}

} // namespace iislog
