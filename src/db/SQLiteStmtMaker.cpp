#include "db/SQLiteStmtMaker.h"

#include <utility>

#include "db/DbRecovery.h"

namespace velk::db {

SQLiteStmtMaker::SQLiteStmtMaker(sqlite3* connection) : db(connection) {}

SQLiteStmtMaker::~SQLiteStmtMaker() {
    // In the order they were made, which vector destruction does not promise.
    for (auto& stmt : stmts) {
        stmt.reset();
    }
}

sqlite3_stmt* SQLiteStmtMaker::make(const std::string& sql) {
    if (db == nullptr) {
        return nullptr;
    }
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    DbRecovery::noteResult(rc);
    if (rc != SQLITE_OK || raw == nullptr) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    // Owned before the append, so a failed append cannot leak it.
    std::unique_ptr<sqlite3_stmt, Finalizer> owned(raw);
    stmts.push_back(std::move(owned));
    return raw;
}

}  // namespace velk::db
