#pragma once

// A small disk for the tests of a full disk: a tmpfs of a few megabytes mounted on a temporary
// folder (the tests run as root where they can mount; elsewhere the fixture skips them), which
// fill() fills to its last page and freeUp() gives back.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace testing_support {

class SmallDisk {
public:
    explicit SmallDisk(int megabytes = 8) {
        const QByteArray options = "size=" + QByteArray::number(megabytes) + "m,mode=0700";
        m_mounted = m_dir.isValid() && ::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs",
                                               0, options.constData()) == 0;
        if (!m_mounted)
            m_why = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallDisk() {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return m_mounted; }
    // Why the disk could not be mounted.
    QString why() const { return m_why; }
    QString path() const { return m_dir.path(); }

    // Takes every free byte but `leave`, in files of its own that freeUp() deletes.
    void fill(qint64 leave = 0) {
        const QByteArray block(64 * 1024, 'f');
        const QString name = m_dir.path() + QStringLiteral("/.filler-") + QString::number(m_fillers.size());
        const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return;
        m_fillers.push_back(name);
        qint64 written = 0;
        for (qsizetype chunk = block.size(); chunk > 0;) {
            const ssize_t n = ::write(fd, block.constData(), static_cast<size_t>(chunk));
            if (n > 0)
                written += n;
            else
                chunk /= 2; // the last pages, down to single bytes
        }
        if (leave > 0 && ::ftruncate(fd, std::max<qint64>(0, written - leave)) != 0) {
        }
        ::close(fd);
    }
    // Sets aside room for a file to grow into (its size stays as it is), so that it can still be
    // written once the disk is full: the machine's journal, while the tests fill the disk under
    // the commands it journals.
    static bool reserve(const QString& file, qint64 bytes) {
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT, 0600);
        const bool ok = fd >= 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, bytes) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    void freeUp() {
        for (const QString& f : m_fillers)
            QFile::remove(f);
        m_fillers.clear();
    }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_why;
    std::vector<QString> m_fillers;
};

} // namespace testing_support

#define VELMORA_NEED_SMALL_DISK(disk)                                                                        \
    if (!(disk).mounted())                                                                                   \
    GTEST_SKIP() << "no small disk to fill: mounting a tmpfs failed (" << (disk).why().toStdString()         \
                 << "); the full-disk cases need root or CAP_SYS_ADMIN"
