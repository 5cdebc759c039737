#include "db/DbLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velk::db {

void DbLock::setFilename(const std::string& path, const std::string& name, int32_t lockKind) {
    filename = path + "/" + name;
    kind = (lockKind == LOCK_RW || lockKind == LOCK_RO) ? lockKind : 0;
}

bool DbLock::existLockFile() const {
    struct stat st {};
    return !filename.empty() && stat(filename.c_str(), &st) == 0;
}

bool DbLock::createLockFile() {
    if (filename.empty()) {
        errno = EINVAL;
        return false;
    }
    // Test and creation in one step: a separate existence check would let two callers through.
    auto create = [this] { return ::open(filename.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); };
    int fd = create();
    if (fd < 0 && errno == EEXIST && takeBackLeftFile()) {
        fd = create();
    }
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool DbLock::removeLockFile() {
    if (filename.empty()) {
        return false;
    }
    if (::unlink(filename.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    const int cause = errno;
    {
        std::lock_guard<std::mutex> guard(leftMutex);
        leftBehind = true;
    }
    errno = cause;
    return false;
}

// Under the mutex, so that a file another thread created after the leftover went is never taken.
// While the folder still refuses, errno says why, so that nobody waits on the leftover meanwhile.
bool DbLock::takeBackLeftFile() {
    std::lock_guard<std::mutex> guard(leftMutex);
    if (!leftBehind) {
        errno = EEXIST;
        return false;
    }
    if (::unlink(filename.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    leftBehind = false;
    return true;
}

}  // namespace velk::db
