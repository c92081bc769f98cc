// The central binary log's reader: one day's file from start to end, past damaged stretches.

#include "emulation/iislog/Format.h"

#include <QFile>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iislog {

using namespace Qt::Literals::StringLiterals;
using namespace format;

Reader::Reader() = default;

Reader::~Reader() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void Reader::reset() {
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
    m_stopAt = std::numeric_limits<qint64>::max();
    m_fileSize = 0;
    m_sums.reset();
    m_sumsFrom = m_sumsEnd = -1;
    m_checkedTo = -1;
    m_summed = 0;
    m_hits.clear();
    m_nextHit = 0;
}

bool Reader::open(const QString& hostPath) {
    reset();
    const QByteArray native = QFile::encodeName(hostPath);
    // Without blocking: a named pipe with no writer would hold the open forever.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    // A pipe never ends and a device is no day's log: only a regular file is read.
    if (!S_ISREG(st.st_mode)) {
        m_openError = OpenError::NotAFile;
        m_error = u"日志文件不是普通文件：%1"_s.arg(hostPath);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_fd = fd;
    m_fileSize = st.st_size;
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
    m_crc = crcOfVersion(m_header.version);
    m_begin += HeaderSize;
    return true;
}

bool Reader::openPart(const Reader& whole, qint64 from) {
    return openOn(whole, from, false);
}

bool Reader::openAt(const Reader& whole, qint64 offset) {
    return openOn(whole, offset, true);
}

bool Reader::openOn(const Reader& whole, qint64 from, bool exact) {
    reset();
    if (whole.m_fd < 0 || whole.m_header.version == 0) {
        m_openError = OpenError::Unreadable;
        m_error = u"日志文件未打开"_s;
        return false;
    }
    // A descriptor of its own on the same open file: reads give their offsets, so the two readers
    // never move each other.
    m_fd = ::fcntl(whole.m_fd, F_DUPFD_CLOEXEC, 0);
    if (m_fd < 0) {
        m_openError = OpenError::Unreadable;
        m_error = u"无法读取日志文件：%1"_s.arg(systemError(errno));
        return false;
    }
    m_header = whole.m_header;
    m_crc = whole.m_crc;
    m_fileSize = whole.m_fileSize;
    m_buffer.resize(static_cast<std::size_t>(ReadChunk));
    from = std::max<qint64>(from, HeaderSize);
    m_bufferPos = from;
    if (exact)
        return true;
    if (!seekSound(from) && !m_error.isEmpty()) {
        m_openError = OpenError::Unreadable;
        return false;
    }
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
        // What is needed, else a read's worth (also into a buffer grown for a long record), but not
        // far past where reading is to end: a part read beside others leaves the next part's bytes
        // to its reader.
        const qint64 toEnd = std::min<qint64>(m_stopAt - (m_bufferPos + m_end), ReadChunk);
        const qsizetype room = static_cast<qsizetype>(m_buffer.size()) - m_end;
        const qsizetype size = std::min<qint64>(room, std::max({need - m_end, toEnd, ReadChunk / 4}));
        const ssize_t n =
            ::pread(m_fd, m_buffer.data() + m_end, static_cast<size_t>(size), m_bufferPos + m_end);
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

// Moves to the first sound record at or after a file offset; false when there is none. The file
// is searched in windows of two longest records: a candidate record starts in a window's first half,
// so it lies wholly inside the window, and the checksums of every stretch of the window are had
// from one pass over it. Each byte is passed over a few times at most, whatever the markers claim.
bool Reader::resync(qint64 from) {
    ++m_damaged;
    return seekSound(from);
}

// The search of resync(), which counts what it passes over as damage.
bool Reader::seekSound(qint64 from) {
    if (from >= m_bufferPos && from <= m_bufferPos + m_end) {
        m_begin = from - m_bufferPos;
    } else {
        m_bufferPos = from;
        m_begin = m_end = 0;
        m_eof = false;
    }
    static constexpr char MarkerBytes[4] = {'\xFF', '\xFE', 'R', 'C'};
    // Most searches end at the first marker, on a record of common length: it is checked by itself
    // before a window of checksums is built for the harder case.
    fill(ReadChunk);
    if (!m_error.isEmpty())
        return false;
    if (const void* hit =
            ::memmem(m_buffer.data() + m_begin, static_cast<size_t>(m_end - m_begin), MarkerBytes, 4)) {
        const qsizetype at = static_cast<const char*>(hit) - m_buffer.data();
        const qint64 length = m_end - at >= 8 ? load<quint32>(m_buffer.data() + at + 4) : 0;
        if (length >= MinRecord && length <= LongRecord && at + length <= m_end) {
            m_summed += static_cast<quint64>(length);
            RecordView view;
            if (checksumHolds(m_buffer.data() + at, length, m_crc) &&
                layView(m_buffer.data() + at, length, view) && plausibleTime(view.timeMs)) {
                m_begin = at;
                return true;
            }
        }
    }
    for (;;) {
        fill(2 * MaxRecord);
        if (!m_error.isEmpty())
            return false;
        const qint64 here = m_bufferPos + m_begin;
        const qint64 end = m_bufferPos + m_end;
        // Where candidates may start: all the way to the end once the rest of the file is here.
        const qint64 limit = m_eof ? end : end - MaxRecord;
        if (end - here < MinRecord) {
            m_begin = m_end;
            return false;
        }
        const char* base = m_buffer.data() - m_bufferPos; // base + file offset: the byte in the buffer
        for (qint64 at = here; at < limit;) {
            const void* hit =
                ::memmem(base + at, static_cast<size_t>(std::min(limit + 3, end) - at), MarkerBytes, 4);
            if (!hit)
                break;
            at = static_cast<const char*>(hit) - base;
            if (at >= limit)
                break;
            const qint64 length = end - at >= 8 ? load<quint32>(base + at + 4) : 0;
            if (length >= MinRecord && length <= MaxRecord && at + length <= end) {
                if (m_sumsFrom < 0 || at < m_sumsFrom || at + length > m_sumsEnd) {
                    // Built from the first candidate they must cover: each build starts at least
                    // one longest record after the one before.
                    if (!m_sums)
                        m_sums = std::make_unique<StretchChecksums>(m_crc);
                    m_sums->build(base + at, end - at);
                    m_summed += static_cast<quint64>(end - at);
                    m_sumsFrom = at;
                    m_sumsEnd = end;
                }
                RecordView view;
                if (m_sums->of(at + 4 - m_sumsFrom, at + length - 4 - m_sumsFrom) ==
                        load<quint32>(base + at + length - 4) &&
                    layView(base + at, length, view) && plausibleTime(view.timeMs)) {
                    m_begin = at - m_bufferPos;
                    return true;
                }
            }
            ++at;
        }
        if (m_eof) {
            m_begin = m_end;
            return false;
        }
        m_begin = limit - m_bufferPos;
    }
}

// Checks the checksum of the record at the buffer's read position (size bytes long) and of the
// whole records behind it in the buffer (none long), many at once; m_checkedTo is then the end of the last
// sound one. False when the first record's checksum does not hold.
bool Reader::checkAhead(qsizetype size) {
    constexpr int Batch = 256; // a read's worth of records of common length
    const char* data[Batch];
    qsizetype sizes[Batch];
    int count = 0;
    qsizetype at = m_begin;
    for (qsizetype length = size; count < Batch;) {
        // Where the next record starts is known only from this one's length: the lines ahead are
        // asked for early so that each step does not wait on the cache.
        __builtin_prefetch(m_buffer.data() + at + 1024);
        data[count] = m_buffer.data() + at + 4;
        sizes[count] = length - 8;
        ++count;
        at += length;
        if (m_end - at < 8)
            break;
        length = load<quint32>(m_buffer.data() + at + 4);
        if (load<quint32>(m_buffer.data() + at) != RecordMarker || length < MinRecord ||
            length > LongRecord || m_end - at < length)
            break;
    }
    quint32 sums[Batch];
    recordCrcs(m_crc, data, sizes, count, sums);
    m_summed += static_cast<quint64>(at - m_begin);
    m_hits.clear();
    m_nextHit = 0;
    qint64 checked = m_bufferPos + m_begin;
    for (int i = 0; i < count; ++i) {
        if (sums[i] != load<quint32>(data[i] + sizes[i]))
            break;
        // The records of the site read, among those checked: the others are passed over at once.
        if (m_site != 0 && load<quint32>(data[i] + 4) == m_site)
            m_hits.push_back(checked);
        checked += sizes[i] + 8;
    }
    m_checkedTo = checked;
    return checked > m_bufferPos + m_begin;
}

// Checks the checksum of a long record at the buffer's read position from the window of checksums
// that the search for records keeps: what a marker claims costs the same whether it is a record or
// not, and a window is built at most once per longest record of the file. A long record is taken by
// itself; m_checkedTo is then its end.
bool Reader::checkLong(qsizetype size) {
    const qint64 here = m_bufferPos + m_begin;
    if (m_sumsFrom < 0 || here < m_sumsFrom || here + size > m_sumsEnd) {
        fill(2 * MaxRecord);
        if (m_end - m_begin < size)
            return false;
        if (!m_sums)
            m_sums = std::make_unique<StretchChecksums>(m_crc);
        m_sums->build(m_buffer.data() + m_begin, m_end - m_begin);
        m_summed += static_cast<quint64>(m_end - m_begin);
        m_sumsFrom = here;
        m_sumsEnd = m_bufferPos + m_end;
    }
    const char* record = m_buffer.data() + m_begin;
    if (m_sums->of(here + 4 - m_sumsFrom, here + size - 4 - m_sumsFrom) != load<quint32>(record + size - 4))
        return false;
    m_checkedTo = here + size;
    m_hits.clear();
    m_nextHit = 0;
    if (m_site != 0 && load<quint32>(record + 8) == m_site)
        m_hits.push_back(here);
    return true;
}

bool Reader::next(LogRecord& record) {
    RecordView view;
    if (!next(view))
        return false;
    record = toRecord(view);
    return true;
}

bool Reader::next(RecordView& record) {
    return nextRecord(record);
}

bool Reader::nextRecord(RecordView& view) {
    if (m_fd < 0)
        return false;
    for (;;) {
        if (m_bufferPos + m_begin >= m_stopAt)
            return false;
        if (m_site != 0 && m_bufferPos + m_begin < m_checkedTo) {
            // Records of other sites whose checksums hold are passed over at once, up to the next
            // record of the site, but never past where reading is to end.
            const qint64 here = m_bufferPos + m_begin;
            while (m_nextHit < m_hits.size() && m_hits[m_nextHit] < here)
                ++m_nextHit;
            const qint64 next = m_nextHit < m_hits.size() ? m_hits[m_nextHit] : m_checkedTo;
            if (next > here && next <= m_stopAt) {
                m_begin += next - here;
                continue;
            }
        }
        if (m_end - m_begin < 12 && !fill(12)) {
            if (m_error.isEmpty() && m_end > m_begin) {
                // A record cut off in its first bytes at the end of the file.
                ++m_damaged;
                m_begin = m_end;
            }
            return false;
        }
        const qint64 here = m_bufferPos + m_begin;
        const quint32 size = load<quint32>(m_buffer.data() + m_begin + 4);
        if (load<quint32>(m_buffer.data() + m_begin) != RecordMarker || size < MinRecord ||
            size > MaxRecord ||
            (here >= m_checkedTo &&
             (size > LongRecord ? !checkLong(size)
                                : (m_end - m_begin < size && !fill(size)) || !checkAhead(size)))) {
            // Every record's checksum is checked, also of the sites not read: a damaged record of
            // another site hides no sound record behind it.
            if (!m_error.isEmpty() || !resync(here + 1))
                return false;
            continue;
        }
        const char* record = m_buffer.data() + m_begin;
        m_begin += size;
        if (m_site != 0 && load<quint32>(record + 8) != m_site)
            continue;
        if (!layView(record, size, view) || !plausibleTime(view.timeMs)) {
            ++m_damaged; // a sound checksum over a record no writer makes
            continue;
        }
        return true;
    }
}

} // namespace iislog
