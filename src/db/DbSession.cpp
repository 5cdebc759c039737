#include "db/DbSession.h"

namespace velk::db {

DbSession::DbSession(DbController* controller) : db(controller), opened(controller->open()) {}

DbSession::~DbSession() { close(); }

bool DbSession::begin() {
    inTransaction = opened && db->beginTransaction();
    return inTransaction;
}

bool DbSession::commit() {
    if (inTransaction && db->commitTransaction()) {
        inTransaction = false;
        return true;
    }
    return false;
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
