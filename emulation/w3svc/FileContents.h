#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <sys/stat.h>
#include <sys/types.h>

namespace w3svc {

// The contents of small files, kept while a file's identity, size and modification time stay.
class FileContents {
public:
    struct File {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modifiedNs = 0;
        std::time_t modified = 0;
        std::string bytes; // empty for a file larger than MaxCachedFile, which is sent from the disk
    };
    // The file at a path of this computer; null when it is no regular file or cannot be read.
    std::shared_ptr<const File> read(const std::string& path);
    // The same when the caller has just found the file's status (a regular file): the kept contents
    // are checked against it instead of looking at the path again.
    std::shared_ptr<const File> read(const std::string& path, const struct stat& known);

    static constexpr size_t MaxCachedFile = 256 * 1024;
    static constexpr size_t MaxCachedBytes = 32 * 1024 * 1024;

private:
    std::mutex m_lock;
    std::unordered_map<std::string, std::shared_ptr<const File>> m_files;
    size_t m_cachedBytes = 0;
};

} // namespace w3svc
