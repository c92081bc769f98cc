#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace w3svc {

// Notices commits to a SQLite database in WAL mode without a system call: every commit rewrites
// the header of the WAL index, which lives in the "-shm" file that every connection maps. The web
// service reads the header per request and asks SQLite only when it changed.
class CommitWatch {
public:
    explicit CommitWatch(QString databaseFile);
    ~CommitWatch();
    CommitWatch(const CommitWatch&) = delete;
    CommitWatch& operator=(const CommitWatch&) = delete;

    // A fingerprint of the WAL index's header as it is now: it changes with every commit of any
    // connection. 0 when the header cannot be read; then every look must count as a change.
    std::uint64_t stamp();

private:
    const unsigned char* header();
    QString m_shmFile;
    std::mutex m_mapLock;
    std::atomic<const unsigned char*> m_header{nullptr};
};

} // namespace w3svc
