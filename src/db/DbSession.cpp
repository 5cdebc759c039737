#include "db/DbSession.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace velk::db {

DbSession::DbSession(DbController* controller) : db(controller), opened(controller->open()) {}

DbSession::~DbSession() { close(); }

bool DbSession::begin() {
    inTransaction = opened && db->beginTransaction();
    return inTransaction;
}

bool DbSession::commit() {
    if (!inTransaction) {
        return false;
    }
    // A reader outlasting the connection's busy wait is tried again, within one lock pause; a
    // failed COMMIT leaves the transaction open, so nothing is lost by trying.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(db->lockPause());
    for (;;) {
        sqlite3* conn = db->connection();
        const int rc =
            conn == nullptr ? SQLITE_MISUSE : sqlite3_exec(conn, "COMMIT;", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            inTransaction = false;
            return true;
        }
        const int primary = rc & 0xff;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void DbSession::rollback() {
    if (inTransaction) {
        db->rollbackTransaction();
        inTransaction = false;
    }
}

void DbSession::close() {
    rollback();
    if (opened) {
        db->close();
        opened = false;
    }
}

}  // namespace velk::db
