#pragma once

#include "emulation/machine/Database.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
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

// The state a service reads from the machine's database, read again only after a commit: the WAL
// index's header tells at no cost whether anything was committed since the last look, and SQLite's
// data version confirms it, so that a request always sees the state the last commit left without
// the database being read per request. Safe from many threads; reads take the caller's lock.
template <typename State> class CommitFollower {
public:
    explicit CommitFollower(QString databaseFile) : m_commits(std::move(databaseFile)) {}

    // The current state; read() makes it afresh (with dbLock held) when the database changed.
    template <typename Read>
    std::shared_ptr<const State> current(std::mutex& dbLock, emulation::machine::Database& db, Read&& read) {
        // Without a commit since the last check the WAL index's header is as that check found it,
        // and the state read then still holds.
        const std::uint64_t now = m_commits.stamp();
        if (now != 0 && now == m_checkedStamp.load(std::memory_order_acquire))
            if (auto state = m_current.load(std::memory_order_acquire))
                return state;
        std::lock_guard lock(dbLock);
        const std::uint64_t before = m_commits.stamp(); // a commit after this is noticed next time
        std::int64_t version = -1;
        {
            auto st = db.prepare("PRAGMA data_version");
            if (st.step())
                version = st.number(0);
        }
        if (!m_state || version != m_dataVersion) {
            m_dataVersion = version;
            m_state = read();
        }
        m_current.store(m_state, std::memory_order_release);
        m_checkedStamp.store(before, std::memory_order_release);
        return m_state;
    }

private:
    CommitWatch m_commits;
    std::int64_t m_dataVersion = -1;                     // under the caller's lock
    std::shared_ptr<const State> m_state;                // under the caller's lock
    std::atomic<std::uint64_t> m_checkedStamp{0};        // the WAL index as the last check found it
    std::atomic<std::shared_ptr<const State>> m_current; // the state that check left
};

} // namespace w3svc
