#include "emulation/machine/Database.h"

#include <QFile>
#include <QScopeGuard>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

namespace emulation::machine {

namespace {

// A full disk shows as SQLITE_FULL, or as an I/O error whose system error is ENOSPC.
bool isDiskFull(sqlite3* handle) {
    const int system = sqlite3_system_errno(handle);
    return (sqlite3_extended_errcode(handle) & 0xFF) == SQLITE_FULL || system == ENOSPC || system == EDQUOT;
}

} // namespace

Statement::~Statement() {
    if (m_stmt) {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
}

Statement& Statement::bind(int index, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(m_stmt, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind(int index, std::int64_t number) {
    sqlite3_bind_int64(m_stmt, index, number);
    return *this;
}

Statement& Statement::bindNull(int index) {
    sqlite3_bind_null(m_stmt, index);
    return *this;
}

bool Statement::step() {
    if (!m_stmt)
        return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        m_db->noteError();
    return false;
}

bool Statement::run() {
    if (!m_stmt)
        return false;
    int rc;
    while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        m_db->noteError();
        return false;
    }
    return true;
}

QString Statement::text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    if (!p)
        return {};
    return QString::fromUtf8(p, sqlite3_column_bytes(m_stmt, column));
}

QByteArrayView Statement::utf8(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return p ? QByteArrayView(p, sqlite3_column_bytes(m_stmt, column)) : QByteArrayView();
}

std::int64_t Statement::number(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

Database::~Database() {
    for (auto& [sql, stmt] : m_cache)
        sqlite3_finalize(stmt);
    sqlite3_close(m_handle);
}

std::unique_ptr<Database> Database::open(const QString& file, bool create, QString* error) {
    sqlite3* handle = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(QFile::encodeName(file).constData(), &handle, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = handle && isDiskFull(handle) ? DiskFull
                     : handle                     ? QString::fromUtf8(sqlite3_errmsg(handle))
                                                  : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close(handle);
        return nullptr;
    }
    sqlite3_busy_timeout(handle, 10000);
    std::unique_ptr<Database> db(new Database(handle));
    // A transaction SQLite rolls back by itself (a full disk, a busy write) counts as well.
    sqlite3_rollback_hook(
        handle,
        [](void* self) {
            auto* database = static_cast<Database*>(self);
            if (!database->m_quietRollback)
                ++database->m_rollbacks;
        },
        db.get());
    // Every row this connection writes to a metabase table, also through triggers and cascades.
    sqlite3_update_hook(
        handle,
        [](void* self, int, const char*, const char* table, sqlite3_int64) {
            if (std::strncmp(table, "mb_", 3) == 0)
                ++static_cast<Database*>(self)->m_metabaseRows;
        },
        db.get());
    // A file that is not a database shows itself at the first statement.
    if (!db->exec("PRAGMA journal_mode=WAL") || !db->exec("PRAGMA foreign_keys=ON") ||
        !db->exec("PRAGMA synchronous=NORMAL") || !db->exec("PRAGMA cache_size=-16384") ||
        !db->exec("SELECT count(*) FROM sqlite_master")) {
        if (error)
            *error = db->lastError();
        return nullptr;
    }
    return db;
}

void Database::setBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(m_handle, milliseconds);
}

void Database::noteError() {
    m_lastError = isDiskFull(m_handle) ? DiskFull : QString::fromUtf8(sqlite3_errmsg(m_handle));
}

bool Database::exec(const char* sql) {
    if (!m_quietRollback && std::strncmp(sql, "ROLLBACK", 8) == 0)
        ++m_rollbacks;
    char* message = nullptr;
    if (sqlite3_exec(m_handle, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        m_lastError =
            isDiskFull(m_handle) ? DiskFull : QString::fromUtf8(message ? message : sqlite3_errmsg(m_handle));
        sqlite3_free(message);
        return false;
    }
    return true;
}

Statement Database::prepare(const char* sql) {
    auto it = m_cache.find(sql);
    if (it == m_cache.end()) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(m_handle, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
            noteError();
            return Statement(*this, nullptr);
        }
        it = m_cache.emplace(sql, stmt).first;
    }
    return Statement(*this, it->second);
}

std::int64_t Database::lastInsertId() const {
    return sqlite3_last_insert_rowid(m_handle);
}

int Database::changes() const {
    return sqlite3_changes(m_handle);
}

Database::OwnChanges Database::ownChanges() const {
    return {m_metabaseRows, m_rollbacks};
}

bool Database::autocommit() const {
    return sqlite3_get_autocommit(m_handle) != 0;
}

Database::Transaction::Transaction(Database& db)
    : m_db(db), m_savepoint(!db.autocommit()),
      m_open(db.exec(m_savepoint ? "SAVEPOINT velmora_write" : "BEGIN IMMEDIATE")),
      m_metabaseRowsBefore(db.m_metabaseRows) {}

Database::Transaction::~Transaction() {
    if (m_open)
        rollBack();
}

void Database::Transaction::rollBack() {
    // SQLite may have rolled back by itself (a full disk): the error that made the transaction
    // fail is the one to tell, not the failed rollback's.
    const QString cause = m_db.m_lastError;
    const auto keepCause = qScopeGuard([&] {
        if (!cause.isEmpty())
            m_db.m_lastError = cause;
    });
    m_db.m_quietRollback = m_db.m_metabaseRows == m_metabaseRowsBefore;
    if (m_savepoint) {
        m_db.exec("ROLLBACK TO velmora_write");
        m_db.exec("RELEASE velmora_write");
    } else {
        m_db.exec("ROLLBACK");
    }
    m_db.m_quietRollback = false;
}

bool Database::Transaction::commit() {
    if (!m_open)
        return false;
    m_open = false;
    if (m_db.exec(m_savepoint ? "RELEASE velmora_write" : "COMMIT"))
        return true;
    rollBack();
    return false;
}

Database::ReadScope::ReadScope(Database& db) : m_db(db), m_owner(db.autocommit() && db.exec("BEGIN")) {
    if (m_owner) {
        ++m_db.m_scopeGeneration;
        m_db.m_scopeOpen = true;
        // Reading the version starts the read transaction: the scope's snapshot is taken here.
        auto version = m_db.prepare("PRAGMA data_version");
        m_db.m_scopeDataVersion = version.step() ? version.number(0) : -1;
    }
}

Database::ReadScope::~ReadScope() {
    if (m_owner) {
        m_db.m_scopeOpen = false;
        m_db.exec("COMMIT");
    }
}

} // namespace emulation::machine
