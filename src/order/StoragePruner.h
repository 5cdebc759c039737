#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace velk::data {
class SettingData;
class LogWrapper;
}  // namespace velk::data

namespace velk::db {
class DbController;
}

namespace velk::order {

// Keeps the agent's disk use bounded: deletes the rows of old closed orders and the list,
// log and package files of old finished updates. Run by the executor thread between passes,
// and only while no update run is alive, so it never removes what a running stage uses.
class StoragePruner {
  public:
    struct Limits {
        int32_t keepClosedOrders = -1;  // below 0: no row is deleted
        int32_t keepRunFiles = -1;      // below 0: no file is deleted
        std::string packageDir;
        std::string logDir;
        std::string listDir;
    };
    // Everything off when there are no settings.
    static Limits fromSettings(const data::SettingData* settings);

    // Without a controller, the process's one.
    explicit StoragePruner(Limits limits, db::DbController* database = nullptr);

    // Rows plus files and directories removed; -1 when the database could not be used (then
    // no file is touched either).
    int prune();

  private:
    int _removeFiles(const std::set<int32_t>& keep);

    Limits limits;
    db::DbController* db;
    data::LogWrapper* log;
};

}  // namespace velk::order
