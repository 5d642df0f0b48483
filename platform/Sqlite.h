// A small wrapper over one SQLite connection, shared by the machine's stores.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "runtime/SysUtils.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kv {

// Any failure of the database: Code is SQLite's result code.
class EDatabaseError : public Exception {
public:
    EDatabaseError(int code, const std::string& msg) : Exception(msg), FCode(code) {}
    int Code() const { return FCode; }
    const char* ClassName() const override { return "EDatabaseError"; }

private:
    int FCode;
};

class TSqlite {
public:
    // Opens (creating) the file in WAL mode with a generous busy timeout, so that the
    // machine's processes take turns instead of failing.
    explicit TSqlite(const std::string& hostPath);
    ~TSqlite();
    TSqlite(const TSqlite&) = delete;
    TSqlite& operator=(const TSqlite&) = delete;

    void Exec(const char* sql);

    // A prepared statement, cached per SQL text; reset when the Query goes away. A Query
    // (and a Transaction) holds the connection for its thread while it lives.
    class Query {
    public:
        Query(TSqlite& db, const char* sql);
        ~Query();
        Query& Bind(int i, int64_t v);
        Query& Bind(int i, const std::string& blob);  // bytes, never text
        Query& BindNull(int i);
        bool Step();  // true while a row is there
        void Run() { while (Step()) {} }
        int64_t Int(int col);
        std::string Blob(int col);
        bool IsNull(int col);

    private:
        TSqlite& FDb;
        std::unique_lock<std::recursive_mutex> FLock;
        sqlite3_stmt* FStmt;
    };

    // BEGIN IMMEDIATE ... COMMIT; rolled back when the scope is left by an exception.
    class Transaction {
    public:
        explicit Transaction(TSqlite& db);
        ~Transaction();
        void Commit();

    private:
        TSqlite& FDb;
        std::unique_lock<std::recursive_mutex> FLock;
        bool FDone = false;
    };

    int64_t Changes();
    int64_t LastInsertRowId();
    // Makes what was committed durable on disk (a WAL checkpoint).
    void Checkpoint();
    // After fork: the child must not use or close the parent's connection.
    void Abandon() { FDb = nullptr; }
    [[noreturn]] void Fail(int rc);

private:
    sqlite3* FDb = nullptr;
    std::map<const char*, sqlite3_stmt*> FCache;
    std::recursive_mutex FLock;
};

}  // namespace kv
