#include "emulation/w3svc/W3cFile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w3svc {

namespace {

// The length of a blank or control character of UTF-8 at p, 0 for any other: U+0000 to U+0020,
// U+007F to U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
int blankLength(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    if (c <= 0x20 || c == 0x7F)
        return 1;
    if (c < 0xC2 || left < 2)
        return 0;
    if (c == 0xC2)
        return p[1] >= 0x80 && p[1] <= 0xA0 ? 2 : 0;
    if (left < 3)
        return 0;
    if (c == 0xE1)
        return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    if (c == 0xE2) {
        if (p[1] == 0x80)
            return p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF ? 3 : 0;
        return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;
    }
    if (c == 0xE3)
        return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    return 0;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

void appendW3cField(QByteArray& line, std::string_view value) {
    if (value.empty()) {
        line += "- ";
        return;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    std::size_t i = 0, plain = 0;
    while (i < value.size()) {
        if (p[i] > 0x20 && p[i] < 0x7F) {
            ++i;
            continue;
        }
        const int n = blankLength(p + i, value.size() - i);
        if (n == 0) {
            ++i;
            continue;
        }
        line.append(value.data() + plain, static_cast<qsizetype>(i - plain));
        line += '+';
        i += static_cast<std::size_t>(n);
        plain = i;
    }
    line.append(value.data() + plain, static_cast<qsizetype>(value.size() - plain));
    line += ' ';
}

void appendW3cField(QByteArray& line, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    appendW3cField(line, std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

W3cFile::~W3cFile() {
    close();
}

bool W3cFile::open(const QString& hostPath, const QByteArray& header) {
    close();
    m_fd = ::open(QFile::encodeName(hostPath).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return false;
    // A line a crash cut off is ended, so that what follows starts on a line of its own.
    struct stat info {};
    if (::fstat(m_fd, &info) == 0 && info.st_size > 0) {
        char last = 0;
        const int reader = ::open(QFile::encodeName(hostPath).constData(), O_RDONLY | O_CLOEXEC);
        if (reader >= 0) {
            if (::pread(reader, &last, 1, info.st_size - 1) == 1 && last != '\n')
                m_pending += "\r\n";
            ::close(reader);
        }
    }
    m_pending += header;
    return true;
}

void W3cFile::append(const QByteArray& line) {
    m_pending += line;
    if (m_pending.size() >= BatchBytes)
        flush();
}

void W3cFile::flush() {
    if (m_fd >= 0 && !m_pending.isEmpty())
        writeAll(m_fd, m_pending.constData(), static_cast<std::size_t>(m_pending.size()));
    m_pending.clear();
}

void W3cFile::close() {
    flush();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace w3svc
