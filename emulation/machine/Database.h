#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace emulation::machine {

class Database;

// A prepared statement, reset when the holder lets it go.
class Statement {
public:
    Statement(Database& db, sqlite3_stmt* stmt) : m_db(&db), m_stmt(stmt) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& o) noexcept : m_db(o.m_db), m_stmt(o.m_stmt) { o.m_stmt = nullptr; }
    ~Statement();

    Statement& bind(int index, const QString& text);
    Statement& bind(int index, std::int64_t number);
    Statement& bindNull(int index);
    // Steps once: true while a row is available. A failure is remembered on the database.
    bool step();
    // Runs to completion; false on failure.
    bool run();

    QString text(int column) const;
    // The column's UTF-8 bytes, valid until the next step.
    QByteArrayView utf8(int column) const;
    std::int64_t number(int column) const;
    bool isNull(int column) const;

private:
    Database* m_db;
    sqlite3_stmt* m_stmt;
};

// One SQLite connection with its prepared statements kept for reuse.
class Database {
public:
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens an existing database file (create = false) or makes a new one.
    static std::unique_ptr<Database> open(const QString& file, bool create, QString* error);

    bool exec(const char* sql);
    Statement prepare(const char* sql);
    std::int64_t lastInsertId() const;
    int changes() const;

    // How long a statement waits for another connection's lock before it fails (10 s unless set).
    void setBusyTimeout(int milliseconds);

    QString lastError() const { return m_lastError; }
    void noteError();
    void clearError() { m_lastError.clear(); }
    // Whether the last error was a full disk (its text is then DiskFull).
    bool diskFull() const { return m_lastError == DiskFull; }
    // ERROR_DISK_FULL (112), as Windows words it.
    static inline const QString DiskFull = QStringLiteral("磁盘空间不足。");
    static constexpr std::uint32_t DiskFullHr = 0x80070070;

    // BEGIN IMMEDIATE ... COMMIT, or ROLLBACK when the transaction is let go uncommitted.
    // Inside a read scope the transaction is a savepoint of the scope's transaction.
    class Transaction {
    public:
        explicit Transaction(Database& db);
        ~Transaction();
        bool ok() const { return m_open; }
        bool commit();

    private:
        // Undoes the transaction; a rollback that takes back no metabase row changes nothing the
        // metabase's readers kept.
        void rollBack();

        Database& m_db;
        bool m_savepoint;
        bool m_open;
        std::int64_t m_metabaseRowsBefore;
    };

    // Every read while the scope lives sees one state of the database, and the file locks are
    // taken once for all of them instead of once a statement.
    class ReadScope {
    public:
        explicit ReadScope(Database& db);
        ~ReadScope();
        ReadScope(const ReadScope&) = delete;
        ReadScope& operator=(const ReadScope&) = delete;

    private:
        Database& m_db;
        bool m_owner;
    };
    bool autocommit() const;
    // Counts outermost read scopes; 0 while none is open. What is read inside one scope stays true
    // for the whole scope.
    std::uint64_t readScope() const { return m_scopeOpen ? m_scopeGeneration : 0; }
    // Changes only this connection's own writes make to the metabase's tables (mb_...) as it reads
    // them: rows written there, and transactions or savepoints rolled back. Writes to the other
    // tables (accounts, file rights) leave what the metabase reads as it was. Another connection's
    // commits stay out of an open read scope.
    struct OwnChanges {
        std::int64_t rows = 0;
        std::uint64_t rollbacks = 0;
        bool operator==(const OwnChanges&) const = default;
    };
    OwnChanges ownChanges() const;
    // Inside a read scope: a number that differs from that of an earlier scope of this connection
    // when another connection committed in between; -1 when it could not be read. Together with
    // ownChanges it tells two scopes that see the same state.
    std::int64_t scopeDataVersion() const { return m_scopeOpen ? m_scopeDataVersion : -1; }

private:
    explicit Database(sqlite3* handle) : m_handle(handle) {}
    sqlite3* m_handle;
    std::map<std::string, sqlite3_stmt*> m_cache;
    QString m_lastError;
    std::uint64_t m_scopeGeneration = 0;
    std::uint64_t m_rollbacks = 0;
    std::int64_t m_metabaseRows = 0;
    std::int64_t m_scopeDataVersion = -1;
    bool m_scopeOpen = false;
    bool m_quietRollback = false; // a rollback that undoes no metabase row
};

} // namespace emulation::machine

// Also reachable as emulation::Database, the name callers outside the emulation know it by.
namespace emulation {
using machine::Database;
}
