#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/DbController.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

namespace velk::test {

// A second connection of the test's own, to look at or disturb the file behind the controller.
class RawDb {
  public:
    explicit RawDb(const std::string& path) {
        sqlite3* raw = nullptr;
        int rc = sqlite3_open(path.c_str(), &raw);
        handle.reset(raw);
        if (rc != SQLITE_OK) {
            throw std::runtime_error("cannot open " + path);
        }
    }

    sqlite3* get() const { return handle.get(); }

    // A plain close, which fails while any statement is unfinalized; the handle is given up.
    int close() { return sqlite3_close(handle.release()); }

    int exec(const std::string& sql) const {
        return sqlite3_exec(handle.get(), sql.c_str(), nullptr, nullptr, nullptr);
    }

    // Every row of a query, each column as text ("NULL" for a NULL value).
    std::vector<std::vector<std::string>> rows(const std::string& sql) const {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(handle.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("cannot prepare: ") + sqlite3_errmsg(handle.get()));
        }
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
        std::vector<std::vector<std::string>> result;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(stmt.get()); ++i) {
                const unsigned char* text = sqlite3_column_text(stmt.get(), i);
                row.emplace_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
            }
            result.push_back(row);
        }
        if (rc != SQLITE_DONE) {
            throw std::runtime_error(std::string("query failed: ") + sqlite3_errmsg(handle.get()));
        }
        return result;
    }

    std::string text(const std::string& sql) const {
        auto all = rows(sql);
        return all.empty() || all.front().empty() ? "" : all.front().front();
    }

    int64_t number(const std::string& sql) const { return std::stoll(text(sql)); }

  private:
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> handle{nullptr, sqlite3_close_v2};
};

// A controller on a database in its own temporary directory, with a short lock wait.
class DbFixture {
  public:
    DbFixture() { ctl.setLockWait(5, 10); }

    int32_t initDb() { return ctl.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"); }
    std::string dbPath() const { return dir.path() + "/db"; }
    std::string dbFile() const { return dbPath() + "/velk.db"; }
    std::string lockFile() const { return dbPath() + "/db_rw.lock"; }

    // Writes through the controller's connection are refused while on; reading stays allowed.
    bool readOnly(bool on) {
        return sqlite3_exec(ctl.connection(), on ? "PRAGMA query_only = ON;" : "PRAGMA query_only = OFF;",
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    TestLog logs;
    TempDir dir;
    db::DbController ctl;
};

// The database made and the controller's connection open for each case.
class OpenDbTest : public ::testing::Test, public DbFixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(initDb(), 0);
        ASSERT_TRUE(ctl.open());
    }
    void TearDown() override { ctl.close(); }
};

}  // namespace velk::test
