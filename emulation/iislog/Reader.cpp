// The central binary log's reader: one day's file from start to end, past damaged stretches.

#include "emulation/iislog/Format.h"

#include <QFile>

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
