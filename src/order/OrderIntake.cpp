#include "order/OrderIntake.h"

#include <chrono>
#include <utility>
#include <vector>

#include "data/LogWrapper.h"
#include "db/DbController.h"
#include "db/DbSession.h"
#include "order/InstructionController.h"

namespace velk::order {

OrderIntake::OrderIntake(InstructionController& orderController, std::string spoolDirectory)
    : controller(orderController),
      spool(std::move(spoolDirectory)),
      log(data::LogWrapper::getInstance()),
      db(db::DbController::getInstance()) {}

std::string OrderIntake::keep(const std::string& answer) {
    if (!OrderSpool::mayHoldOrders(answer)) {
        return std::string();
    }
    std::string name = held.empty() ? spool.keep(answer) : std::string();
    if (name.empty()) {
        // Its orders are marked as stored under this name, so the name must never come again,
        // not even after a restart.
        auto now = std::chrono::system_clock::now().time_since_epoch();
        name = "held-" + std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) +
               "-" + std::to_string(++heldSequence);
        log->warning("[{}:{}] answer could not be kept on disk, held in memory until its orders are stored",
                     VELK_AT);
        held.push_back({name, answer});
    }
    return name;
}

size_t OrderIntake::storeWaiting() {
    std::vector<std::string> names = spool.pending();
    waitingAnswers = names.size() + held.size();
    for (const auto& name : names) {
        std::string answer;
        // One that cannot be read back is dropped, as one torn by a power cut.
        if (spool.read(name, answer) && !_store(name, answer)) {
            return waitingAnswers;
        }
        if (!spool.remove(name)) {
            log->warning("[{}:{}] kept answer {} could not be removed", VELK_AT, name);
            return waitingAnswers;
        }
        _forgetMarks(name);
        --waitingAnswers;
    }
    while (!held.empty() && _store(held.front().name, held.front().answer)) {
        _forgetMarks(held.front().name);
        held.pop_front();
        --waitingAnswers;
    }
    return waitingAnswers;
}

void OrderIntake::_forgetMarks(const std::string& name) {
    db::DbSession session(db);
    if (session.isOpen()) {
        db->deleteSpoolMarks(name);
    }
}

bool OrderIntake::_store(const std::string& name, const std::string& answer) {
    lastName = name;
    lastLeft = controller.storeOrders(answer, name);
    log->debug("[{}:{}] receive json : kept answer {} : orders left -> {}", VELK_AT, name, lastLeft);
    if (lastLeft > 0) {
        log->warning("[{}:{}] kept answer {} : {} orders wait for the database", VELK_AT, name, lastLeft);
        return false;
    }
    return true;
}

}  // namespace velk::order
