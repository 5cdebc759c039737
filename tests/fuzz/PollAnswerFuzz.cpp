// A poll answer through both handlers: boot-time acknowledgement, then order intake, against a
// database created once and emptied between inputs.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "db/DbController.h"
#include "fuzz/FuzzSupport.h"
#include "order/InstructionController.h"

namespace {

struct World {
    World() {
        const auto& dir = velk::test::quietAgent();
        auto* db = velk::db::DbController::createInstance();
        db->setLockWait(5, 10);
        if (db->init(dir.path() + "/db", "velk.db", "db_rw.lock", "db_ro.lock") != 0 ||
            sqlite3_open((dir.path() + "/db/velk.db").c_str(), &raw) != SQLITE_OK) {
            std::abort();
        }
        controller = std::make_unique<velk::order::InstructionController>(
            dir.write("dpkg", "#!/bin/sh\nprintf 'ii  curl 7.88.1-10 amd64 tool\\n'\n", 0755));
        controller->init("FUZZ");
    }
    ~World() { sqlite3_close(raw); }
    void reset() {
        sqlite3_exec(raw,
                     "DELETE FROM update_package; DELETE FROM update_info; DELETE FROM order_info;"
                     "DELETE FROM os_boot_time; INSERT INTO os_boot_time (boot_time) "
                     "VALUES ('2026-11-01 07:00:00');",
                     nullptr, nullptr, nullptr);
    }

    sqlite3* raw = nullptr;
    std::unique_ptr<velk::order::InstructionController> controller;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    world.reset();
    const std::string answer(reinterpret_cast<const char*>(data), size);
    world.controller->hasOsBootTimeResultFromReceiveData(answer);
    world.controller->hasCheckOrderFromReceiveData(answer);
    return 0;
}
