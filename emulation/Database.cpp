#include "emulation/Database.h"

#include <QFile>

#include <sqlite3.h>

namespace emulation {

Statement::~Statement() {
    if (m_stmt) {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
}

Statement& Statement::bind(int index, const QString& text) {
    sqlite3_bind_text16(m_stmt, index, text.utf16(), static_cast<int>(text.size() * 2), SQLITE_TRANSIENT);
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
    const void* p = sqlite3_column_text16(m_stmt, column);
    const int bytes = sqlite3_column_bytes16(m_stmt, column);
    if (!p)
        return {};
    return QString::fromUtf16(static_cast<const char16_t*>(p), bytes / 2);
}

std::int64_t Statement::number(int column) const { return sqlite3_column_int64(m_stmt, column); }

bool Statement::isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

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
            *error = handle ? QString::fromUtf8(sqlite3_errmsg(handle)) : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close(handle);
        return nullptr;
    }
    sqlite3_busy_timeout(handle, 10000);
    std::unique_ptr<Database> db(new Database(handle));
    // A file that is not a database shows itself at the first statement.
    if (!db->exec("PRAGMA journal_mode=WAL") || !db->exec("PRAGMA foreign_keys=ON") ||
        !db->exec("PRAGMA synchronous=NORMAL") || !db->exec("SELECT count(*) FROM sqlite_master")) {
        if (error)
            *error = db->lastError();
        return nullptr;
    }
    return db;
}

void Database::noteError() { m_lastError = QString::fromUtf8(sqlite3_errmsg(m_handle)); }

bool Database::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_handle, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        m_lastError = QString::fromUtf8(message ? message : sqlite3_errmsg(m_handle));
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

std::int64_t Database::lastInsertId() const { return sqlite3_last_insert_rowid(m_handle); }

int Database::changes() const { return sqlite3_changes(m_handle); }

Database::Transaction::Transaction(Database& db) : m_db(db), m_open(db.exec("BEGIN IMMEDIATE")) {}

Database::Transaction::~Transaction() {
    if (m_open)
        m_db.exec("ROLLBACK");
}

bool Database::Transaction::commit() {
    if (!m_open)
        return false;
    m_open = false;
    if (m_db.exec("COMMIT"))
        return true;
    m_db.exec("ROLLBACK");
    return false;
}

} // namespace emulation
