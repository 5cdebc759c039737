#include <gtest/gtest.h>

#include <stdexcept>

#include "db/DbTestSupport.h"
#include "db/SQLiteStmtMaker.h"

using velk::db::SQLiteStmtMaker;
using velk::test::RawDb;
using velk::test::TempDir;

namespace {

int liveStatements(sqlite3* db) {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s != nullptr; s = sqlite3_next_stmt(db, s)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(SQLiteStmtMaker, EveryStatementFinalizedWhenAnExceptionEndsTheOperation) {
    TempDir dir;
    RawDb db(dir.file("t.db"));
    ASSERT_EQ(db.exec("CREATE TABLE t (v INTEGER);"), SQLITE_OK);
    try {
        SQLiteStmtMaker maker(db.get());
        EXPECT_EQ(maker.make("SELEC * FROM nowhere;"), nullptr);
        // A failed make leaves the connection's reason for callers to read.
        EXPECT_EQ(sqlite3_errcode(db.get()), SQLITE_ERROR);
        sqlite3_stmt* a = maker.make("SELECT v FROM t;");
        sqlite3_stmt* b = maker.make("INSERT INTO t VALUES (1);");
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(sqlite3_step(b), SQLITE_DONE);
        EXPECT_EQ(liveStatements(db.get()), 2);
        throw std::runtime_error("operation failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(liveStatements(db.get()), 0);
    // A plain close refuses while any statement is left unfinalized.
    EXPECT_EQ(db.close(), SQLITE_OK);
}
