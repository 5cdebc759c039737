#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/DbController.h"

namespace velk::data {
class SettingData;
class LogWrapper;
}  // namespace velk::data

namespace velk::order {

// The background thread that starts stored updates when their time comes (one at a time)
// and re-sends undelivered result reports. Its thread holds a shared reference to the
// executor, so the object outlives every step the thread takes, even one that is still
// waiting for the database lock when the agent stops.
class InstructionExecuter : public std::enable_shared_from_this<InstructionExecuter> {
  public:
    static constexpr int32_t THREAD_NOT_STARTED = 0;
    static constexpr int32_t THREAD_RUNNING = 1;
    static constexpr int32_t THREAD_RESERVED = 2;
    static constexpr int32_t THREAD_LOOP_FINISHED = 3;
    static constexpr int32_t THREAD_FINISHED = 4;

    InstructionExecuter();
    virtual ~InstructionExecuter() = default;
    InstructionExecuter(const InstructionExecuter&) = delete;
    InstructionExecuter& operator=(const InstructionExecuter&) = delete;

    // The executor must be owned by a std::shared_ptr.
    int StartThread();
    int StopThread();
    void LoopThread();
    int instructionCheckLoop();
    bool resetProgressStatus();
    bool checkLastInstruction(int32_t& id, int32_t& status, int64_t& time, std::string& type);
    bool setProcessingStatus(int32_t id, int32_t status);
    int sendUnsentInstructionData();
    // Closes stages whose time cannot be read as failed and queues their reports.
    void closeUnreadableStages(const std::vector<db::DbController::UnreadableStage>& stages);

    // Makes every executor of the process look for work now instead of at the end of its wait:
    // an order was stored or a run ended. Thread-safe; never lost between a look and a wait.
    static void wake();

    // Waits at most `limit` for the thread to return; true when it has (or never ran).
    bool waitThreadEnd(std::chrono::milliseconds limit);
    int32_t getThreadState() const { return threadState.load(); }
    int32_t getRunState() const { return runState.load(); }

  private:
    void _setRunState(int32_t state);
    void _setThreadState(int32_t state);

    data::SettingData* settings = nullptr;
    data::LogWrapper* log = nullptr;
    db::DbController* db = nullptr;
    std::atomic<bool> started{false};
    std::atomic<int32_t> runState{0};
    std::atomic<int32_t> threadState{0};
    int32_t reserved = 0;
    std::mutex mutex;
    std::condition_variable threadEnded;
};

}  // namespace velk::order
