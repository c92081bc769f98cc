#include "emulation/files/HostFile.h"

#include "emulation/files/FileSystem.h"
#include "emulation/iislog/WriteAll.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emulation::files {

using namespace Qt::Literals::StringLiterals;
using iislog::writeAll;

namespace {

// Closes a descriptor once, reporting what close() says (a write the disk refused late).
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // False with errno set when the close failed.
    bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// A new, unique file in target's folder, opened for writing without following links. Its name is
// short, so that it fits wherever the target's name fits.
int besideFile(const QByteArray& target, QByteArray& name) {
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : target.left(slash);
    for (int attempt = 0;; ++attempt) {
        name = folder + "/.velmora-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(attempt);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST || attempt > 100)
            return fd;
    }
}

// Fills a new file beside target with what fill writes, and renames it over target.
template <typename Fill> QString replaceWith(const QString& hostPath, Fill fill) {
    if (hostPath.isEmpty())
        return fserr::AccessDenied;
    const QByteArray target = QFile::encodeName(hostPath);
    struct stat old {};
    const bool existed = ::lstat(target.constData(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode))
        return fserr::AccessDenied; // a folder, a link or a device is never written through
    QByteArray temp;
    Fd fd(besideFile(target, temp));
    if (!fd.valid())
        return writeErrorText(errno);
    int error = 0;
    if (!fill(fd.get()) || (existed && ::fchmod(fd.get(), old.st_mode & 07777) != 0) ||
        ::fdatasync(fd.get()) != 0)
        error = errno;
    if (!fd.close() && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.constData());
        return writeErrorText(error);
    }
    return {};
}

} // namespace

QString writeErrorText(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG ? fserr::DiskFull : fserr::AccessDenied;
}

QString replaceFile(const QString& hostPath, QByteArrayView bytes) {
    return replaceWith(hostPath, [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
}

QString appendToFile(const QString& hostPath, QByteArrayView bytes, unsigned mode) {
    if (hostPath.isEmpty())
        return fserr::AccessDenied;
    const QByteArray target = QFile::encodeName(hostPath);
    Fd fd(::open(target.constData(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid())
        return writeErrorText(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fserr::AccessDenied;
    if (writeAll(fd.get(), bytes.data(), bytes.size()) && fd.close())
        return {};
    const int error = errno;
    // Take back what was written in part: the file ends with whole appends only.
    if (const int again = ::open(target.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC); again >= 0) {
        if (::ftruncate(again, st.st_size) != 0) {
            // The file keeps the torn part; the error below says that the append failed.
        }
        ::close(again);
    }
    return writeErrorText(error);
}

QString copyFile(const QString& fromHostPath, const QString& toHostPath) {
    Fd from(::open(QFile::encodeName(fromHostPath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!from.valid() || ::fstat(from.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fserr::AccessDenied;
    return replaceWith(toHostPath, [&](int fd) {
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(from.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n == 0;
            if (!writeAll(fd, buffer, n))
                return false;
        }
    });
}

QString makeFolders(const QString& hostPath) {
    if (hostPath.isEmpty())
        return fserr::AccessDenied;
    const QString parent = QFileInfo(hostPath).path();
    if (parent != hostPath && !QFileInfo(parent).isDir())
        if (const QString problem = makeFolders(parent); !problem.isEmpty())
            return problem;
    if (::mkdir(QFile::encodeName(hostPath).constData(), 0755) != 0 && errno != EEXIST)
        return writeErrorText(errno);
    return {};
}

} // namespace emulation::files
