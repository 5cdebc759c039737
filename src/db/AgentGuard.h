#pragma once

#include <string>

namespace velk::db {

// One agent per database folder. An advisory lock on a file in the folder is held for the
// process's life; the kernel drops it when the process ends however it ends, so a lock left by a
// dead agent never keeps the next one out. The descriptor is closed on exec: the scripts the agent
// starts (an install that restarts the agent, say) must not carry the lock into the next agent.
class AgentGuard {
  public:
    static constexpr const char* FILE_NAME = "agent.lock";

    AgentGuard() = default;
    virtual ~AgentGuard();
    AgentGuard(const AgentGuard&) = delete;
    AgentGuard& operator=(const AgentGuard&) = delete;

    // True when this process holds the folder (already, or now); false with errno EWOULDBLOCK
    // when another process does, or another errno when the file cannot be opened or locked.
    bool hold(const std::string& folder);

  private:
    void release();

    std::string heldFolder;
    int fd = -1;
};

}  // namespace velk::db
