#include "emulation/w3svc/CommitWatch.h"

#include <QFile>

#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w3svc {

namespace {
// The WAL index begins with two copies of its 48-byte header (the WAL-mode file format of SQLite);
// a commit writes the second copy, then the first, and both carry a counter of the changes.
constexpr size_t HeaderBytes = 2 * 48;
} // namespace

CommitWatch::CommitWatch(QString databaseFile)
    : m_shmFile(std::move(databaseFile) + QStringLiteral("-shm")) {}

CommitWatch::~CommitWatch() {
    if (const unsigned char* h = m_header.load())
        ::munmap(const_cast<unsigned char*>(h), HeaderBytes);
}

const unsigned char* CommitWatch::header() {
    if (const unsigned char* h = m_header.load(std::memory_order_acquire))
        return h;
    std::lock_guard lock(m_mapLock);
    if (const unsigned char* h = m_header.load(std::memory_order_acquire))
        return h;
    const int fd = ::open(QFile::encodeName(m_shmFile).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    void* map = MAP_FAILED;
    if (::fstat(fd, &info) == 0 && static_cast<size_t>(info.st_size) >= HeaderBytes)
        map = ::mmap(nullptr, HeaderBytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        return nullptr;
    m_header.store(static_cast<const unsigned char*>(map), std::memory_order_release);
    return static_cast<const unsigned char*>(map);
}

std::uint64_t CommitWatch::stamp() {
    const unsigned char* h = header();
    if (!h)
        return 0;
    std::uint64_t copy[HeaderBytes / 8];
    std::atomic_thread_fence(std::memory_order_acquire);
    std::memcpy(copy, h, HeaderBytes);
    // FNV-1a over both copies, eight bytes at a time, each word mixed so that every bit of it
    // reaches the whole hash; never 0.
    std::uint64_t hash = 14695981039346656037ull;
    for (std::uint64_t word : copy) {
        word ^= word >> 29;
        hash = (hash ^ word) * 1099511628211ull;
        hash ^= hash >> 32;
    }
    return hash | 1;
}

} // namespace w3svc
