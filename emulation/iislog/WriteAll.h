#pragma once

// Writing a whole buffer to a file descriptor, past short writes and interrupted calls. The log
// writer uses it, and so do the machine's file writes and the web service's W3C logs, which link
// this library.

#include <QtGlobal>

#include <cerrno>
#include <unistd.h>

namespace iislog {

// False when a write failed (errno tells why); the descriptor then holds some of the bytes.
inline bool writeAll(int fd, const char* data, qsizetype size) {
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

} // namespace iislog
