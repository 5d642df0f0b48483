#include "platform/Sqlite.h"

#include <sqlite3.h>

namespace kv {

TSqlite::TSqlite(const std::string& hostPath) {
    int rc = sqlite3_open_v2(hostPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc);
        sqlite3_close(FDb);
        FDb = nullptr;
        throw EDatabaseError(rc, hostPath + ": " + msg);
    }
    sqlite3_busy_timeout(FDb, 60000);
    try {
        // Reading the schema first makes a file that is no database fail here.
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
    } catch (...) {
        sqlite3_close(FDb);
        FDb = nullptr;
        throw;
    }
}

TSqlite::~TSqlite() {
    if (!FDb) return;
    for (auto& [sql, stmt] : FCache) sqlite3_finalize(stmt);
    sqlite3_close(FDb);
}

void TSqlite::Fail(int rc) {
    throw EDatabaseError(rc, FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc));
}

void TSqlite::Exec(const char* sql) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    int rc = sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
}

TSqlite::Query::Query(TSqlite& db, const char* sql) : FDb(db), FLock(db.FLock) {
    auto it = db.FCache.find(sql);
    if (it != db.FCache.end()) {
        FStmt = it->second;
        return;
    }
    int rc = sqlite3_prepare_v2(db.FDb, sql, -1, &FStmt, nullptr);
    if (rc != SQLITE_OK) db.Fail(rc);
    db.FCache[sql] = FStmt;
}

TSqlite::Query::~Query() {
    sqlite3_reset(FStmt);
    sqlite3_clear_bindings(FStmt);
}

TSqlite::Query& TSqlite::Query::Bind(int i, int64_t v) {
    sqlite3_bind_int64(FStmt, i, v);
    return *this;
}

TSqlite::Query& TSqlite::Query::Bind(int i, const std::string& blob) {
    sqlite3_bind_blob64(FStmt, i, blob.data(), blob.size(), SQLITE_TRANSIENT);
    return *this;
}

TSqlite::Query& TSqlite::Query::BindNull(int i) {
    sqlite3_bind_null(FStmt, i);
    return *this;
}

bool TSqlite::Query::Step() {
    int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(FStmt);
    FDb.Fail(rc);
}

int64_t TSqlite::Query::Int(int col) { return sqlite3_column_int64(FStmt, col); }

std::string TSqlite::Query::Blob(int col) {
    const void* p = sqlite3_column_blob(FStmt, col);
    int n = sqlite3_column_bytes(FStmt, col);
    return p ? std::string(static_cast<const char*>(p), n) : std::string();
}

bool TSqlite::Query::IsNull(int col) { return sqlite3_column_type(FStmt, col) == SQLITE_NULL; }

TSqlite::Transaction::Transaction(TSqlite& db) : FDb(db), FLock(db.FLock) { FDb.Exec("BEGIN IMMEDIATE"); }

TSqlite::Transaction::~Transaction() {
    if (!FDone) sqlite3_exec(FDb.FDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

void TSqlite::Transaction::Commit() {
    FDb.Exec("COMMIT");
    FDone = true;
}

// Changes and LastInsertRowId belong to the statement just run: call them while its Query
// or Transaction still holds the connection.
int64_t TSqlite::Changes() { return sqlite3_changes64(FDb); }
int64_t TSqlite::LastInsertRowId() { return sqlite3_last_insert_rowid(FDb); }

void TSqlite::Checkpoint() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    int rc = sqlite3_wal_checkpoint_v2(FDb, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY) Fail(rc);
}

}  // namespace kv
