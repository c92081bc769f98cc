#pragma once

// Raw-socket clients that misbehave on purpose, and what the serve process spends meanwhile.

#include "tests/w3svc/ServeFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace served {

// One TCP connection under the test's control.
class RawClient {
public:
    RawClient(const std::string& address, int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawClient() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return m_fd >= 0; }
    bool send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until the server closes the connection or waitMs pass without a byte; closed tells which.
    std::string readAll(bool& closed, int waitMs = 10000) {
        std::string raw;
        closed = false;
        char buf[65536];
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, waitMs) <= 0)
                return raw;
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                closed = true;
                return raw;
            }
            raw.append(buf, static_cast<size_t>(n));
        }
    }
    // Whether the server closed the connection within waitMs (bytes it sent first are dropped).
    bool closedWithin(int waitMs) {
        bool closed = false;
        readAll(closed, waitMs);
        return closed;
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// What a process holds now, from /proc.
inline long residentKb(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

inline int threadCount(qint64 pid) {
    int n = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(dir);
    }
    return n;
}

} // namespace served
