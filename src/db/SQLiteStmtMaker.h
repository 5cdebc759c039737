#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

namespace velk::db {

// Prepares statements for one database operation and finalizes every one of them when the
// operation ends, on every path. Lives on the stack of the thread running the operation; it
// never binds, steps, logs or owns the connection.
class SQLiteStmtMaker {
  public:
    explicit SQLiteStmtMaker(sqlite3* connection);
    virtual ~SQLiteStmtMaker();

    SQLiteStmtMaker(const SQLiteStmtMaker&) = delete;
    SQLiteStmtMaker& operator=(const SQLiteStmtMaker&) = delete;

    // Null when the text cannot be prepared; the connection's error code then tells why.
    sqlite3_stmt* make(const std::string& sql);

  private:
    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
    };

    sqlite3* db;
    std::vector<std::unique_ptr<sqlite3_stmt, Finalizer>> stmts;
};

}  // namespace velk::db
