#pragma once

#include "db/DbController.h"

namespace velk::db {

// One open ... close of the shared database, with an optional transaction that is rolled back
// unless committed, so no path (an exception included) leaves the lock file or a transaction
// behind. Lives on the stack of the one thread that uses it.
class DbSession {
  public:
    explicit DbSession(DbController* controller);
    virtual ~DbSession();
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;

    bool isOpen() const { return opened; }
    bool begin();
    bool commit();
    void rollback();
    void close();

  private:
    DbController* db;
    bool opened;
    bool inTransaction = false;
};

}  // namespace velk::db
