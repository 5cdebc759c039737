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
    int opened = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (opened < 0) {
        // A folder the agent may not write to can still show whether someone holds it.
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
