#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "order/OrderSpool.h"

namespace velk::data {
class LogWrapper;
}
namespace velk::db {
class DbController;
}

namespace velk::order {

class InstructionController;

// Holds every poll answer that may carry orders until its orders are stored: on disk beside the
// database when the disk takes it, otherwise in memory, where only the end of the process loses
// it. Answers are stored in arrival order, and no order commits before an earlier one that has
// to wait. Main thread only; it never drops an answer whose orders the database could not take.
class OrderIntake {
  public:
    OrderIntake(InstructionController& controller, std::string spoolDirectory);

    // The name the answer waits under; empty when it cannot hold orders.
    std::string keep(const std::string& answer);
    // Stores the orders of the waiting answers, oldest first, and lets go of each answer whose
    // orders are all stored; stops at the first that must wait. The number of answers waiting.
    size_t storeWaiting();
    // Whether the last storeWaiting stored every order of that answer.
    bool stored(const std::string& name) const { return lastName == name && lastLeft == 0; }
    size_t heldInMemory() const { return held.size(); }
    // Answers left waiting by the last storeWaiting.
    size_t waiting() const { return waitingAnswers; }

  private:
    struct Held {
        std::string name;
        std::string answer;
    };
    // True when the answer is done with: its orders stored or refused, or it is no JSON.
    bool _store(const std::string& name, const std::string& answer);
    // The marks of a stored answer are of no further use; any left behind only cost a few rows.
    void _forgetMarks(const std::string& name);

    InstructionController& controller;
    OrderSpool spool;
    data::LogWrapper* log = nullptr;
    db::DbController* db = nullptr;
    // Every answer held here arrived after every answer on disk: once one is held, the next
    // ones are held too until they are all stored.
    std::deque<Held> held;
    uint64_t heldSequence = 0;
    std::string lastName;
    int lastLeft = 0;
    size_t waitingAnswers = 0;
};

}  // namespace velk::order
