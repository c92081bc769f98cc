#include "emulation/w3svc/FileContents.h"

#include <fcntl.h>
#include <unistd.h>

namespace w3svc {

std::shared_ptr<const FileContents::File> FileContents::read(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return nullptr;
    return read(path, info);
}

std::shared_ptr<const FileContents::File> FileContents::read(const std::string& path,
                                                             const struct stat& known) {
    struct stat info = known;
    if (!S_ISREG(info.st_mode))
        return nullptr;
    auto same = [&](const File& f) {
        return f.device == info.st_dev && f.inode == info.st_ino && f.size == info.st_size &&
               f.modifiedNs == info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec;
    };
    {
        std::lock_guard lock(m_lock);
        const auto it = m_files.find(path);
        if (it != m_files.end() && same(*it->second))
            return it->second;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto file = std::make_shared<File>();
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    file->device = info.st_dev;
    file->inode = info.st_ino;
    file->size = info.st_size;
    file->modifiedNs = info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec;
    file->modified = info.st_mtim.tv_sec;
    if (static_cast<size_t>(info.st_size) > MaxCachedFile) {
        ::close(fd);
        return file;
    }
    file->bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < file->bytes.size()) {
        const ssize_t n =
            ::pread(fd, file->bytes.data() + done, file->bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    file->bytes.resize(done);
    file->size = static_cast<off_t>(done);
    // Small files are kept while they stay as they are; the cache is emptied when it grows too big.
    {
        std::lock_guard lock(m_lock);
        auto& slot = m_files[path];
        if (slot)
            m_cachedBytes -= slot->bytes.size();
        if (m_cachedBytes + file->bytes.size() > MaxCachedBytes) {
            m_files.clear();
            m_cachedBytes = 0;
        }
        m_files[path] = file;
        m_cachedBytes += file->bytes.size();
    }
    return file;
}

} // namespace w3svc
