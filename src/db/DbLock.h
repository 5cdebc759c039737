#pragma once

#include <fcntl.h>

#include <cstdint>
#include <mutex>
#include <string>

// glibc's <fcntl.h> defines LOCK_RW for mandatory locking, which Linux dropped; it is included
// first so that the name stays free for the constant below in every file that includes this.
#ifdef LOCK_RW
#undef LOCK_RW
#endif

namespace velk::db {

// One lock file beside the database. Whoever created the file holds the lock until it removes
// it; creation is exclusive, so two threads or processes can never both succeed. The name is
// set once at start-up before other threads exist and only read afterwards.
class DbLock {
  public:
    static constexpr int32_t LOCK_RW = 1;
    static constexpr int32_t LOCK_RO = 2;

    DbLock() = default;
    virtual ~DbLock() = default;

    void setFilename(const std::string& path, const std::string& name, int32_t lockKind);
    bool existLockFile() const;
    // True only for the caller whose exclusive creation made the file; on false, errno tells
    // why (EEXIST: someone else holds the lock).
    bool createLockFile();
    // True when the file is gone afterwards (also when there was none). A file this process
    // could not remove (its folder turned read-only) is nobody's lock: the next creation takes
    // it back once it can, instead of waiting on it for the rest of the run.
    bool removeLockFile();

    const std::string& getFilename() const { return filename; }
    int32_t getKind() const { return kind; }

  private:
    bool takeBackLeftFile();

    std::string filename;
    int32_t kind = 0;
    std::mutex leftMutex;
    bool leftBehind = false;  // under leftMutex
};

}  // namespace velk::db
