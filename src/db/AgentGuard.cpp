#include "db/AgentGuard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace velk::db {

AgentGuard::~AgentGuard() { release(); }

bool AgentGuard::hold(const std::string& folder) {
    if (fd >= 0 && folder == heldFolder) {
        return true;
    }
    release();
    const std::string file = folder + "/" + FILE_NAME;
    // Opened for reading only: a file open for writing would keep the folder's file system from
    // being remounted read-only. A folder the agent may not write to still shows who holds it.
    int opened = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (opened < 0) {
        opened = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (opened < 0) {
        return false;
    }
    if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        ::close(opened);
        errno = cause;
        return false;
    }
    fd = opened;
    heldFolder = folder;
    return true;
}

void AgentGuard::release() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
        heldFolder.clear();
    }
}

}  // namespace velk::db
