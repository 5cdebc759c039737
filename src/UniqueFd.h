#pragma once

#include <unistd.h>

namespace velk {

// Owns a file descriptor and closes it when it goes; -1 owns nothing.
class UniqueFd {
  public:
    explicit UniqueFd(int descriptor) : fd(descriptor) {}
    ~UniqueFd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

}  // namespace velk
