#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace velk {

namespace data {
class SettingData;
class LogWrapper;
}  // namespace data
namespace db {
class DbController;
}
namespace feature {
class BootTime;
}
namespace order {
class InstructionController;
class OrderIntake;
}  // namespace order

// The agent: brings up settings, logging and the database on the main thread, then runs
// the polling loop. Signal handlers only store into its atomic state fields and wake the
// relay thread that writes their log lines, so no handler touches the logger.
class Corvane {
  public:
    Corvane() = default;
    virtual ~Corvane();

    Corvane(const Corvane&) = delete;
    Corvane& operator=(const Corvane&) = delete;

    int init();
    int mainLoop();
    void finish();

    // Async-signal-safe: atomics and a pipe write only.
    void receiveExitSignal(int signalNumber);
    void receiveOrderSignal(int signalNumber);

    std::atomic<int32_t> exitState{0};
    std::atomic<int32_t> signalNo{0};
    std::atomic<int32_t> orderState{0};

  private:
    int _initSetting();
    void _initLog();
    void _displaySettingData();
    int _initDb();
    bool _registerOsBootTime(feature::BootTime& bootTime);
    // One poll: the request for the pending kinds, sent through a fresh client; then the orders
    // of every answer that waits are stored, oldest first. True when the service did not answer,
    // or answered that it cannot serve now.
    bool _poll(order::InstructionController& controller, order::OrderIntake& intake);
    bool _hasUnsentBootTime(order::InstructionController& controller);

    data::SettingData* settings = nullptr;
    data::LogWrapper* log = nullptr;
    db::DbController* db = nullptr;
};

// The running agent, published for the signal handlers; null before and after its life.
extern std::atomic<Corvane*> agentInstance;

}  // namespace velk
