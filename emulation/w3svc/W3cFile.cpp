#include "emulation/w3svc/W3cFile.h"

#include "emulation/iislog/W3cText.h"
#include "emulation/iislog/WriteAll.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w3svc {

void appendW3cField(QByteArray& line, std::string_view value) {
    iislog::appendW3cValue(line, value);
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
        iislog::writeAll(m_fd, m_pending.constData(), m_pending.size());
    m_pending.clear();
}

void W3cFile::close() {
    flush();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace w3svc
