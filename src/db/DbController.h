#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "model/OrderInfo.h"
#include "model/UpdateInfo.h"
#include "model/UpdatePackage.h"

namespace velk::data {
class LogWrapper;
}

namespace velk::db {

// Owns the agent's one SQLite file and the single connection to it. Any thread may use the
// connection between its own successful open() and its close(); the lock file beside the
// database keeps threads and processes apart. It never deletes a database whose state is
// undecided, and never caches a connection or statement between uses.
// DbController.cpp holds the connection, lock and schema; the statements of each record family
// are in DbControllerOrder.cpp, DbControllerUpdate.cpp and DbControllerBootTime.cpp.
class DbController {
  public:
    static constexpr int32_t ORDER_KIND_SW_UPDATE = 2;
    static constexpr int32_t ORDER_STATUS_DL_UNSENT = 1;
    static constexpr int32_t ORDER_STATUS_DL_SENT = 2;
    static constexpr int32_t ORDER_STATUS_UPD_UNSENT = 11;
    static constexpr int32_t ORDER_STATUS_UPD_SENT = 12;
    static constexpr int32_t UPD_STATUS_WAIT = 0;
    static constexpr int32_t UPD_STATUS_DL_PROCESSING = 11;
    static constexpr int32_t UPD_STATUS_DL_SUCCESS = 12;
    static constexpr int32_t UPD_STATUS_DL_FAILED = 19;
    static constexpr int32_t UPD_STATUS_UPD_PROCESSING = 21;
    static constexpr int32_t UPD_STATUS_UPD_SUCCESS = 22;
    static constexpr int32_t UPD_STATUS_UPD_FAILED = 29;
    static constexpr int32_t UPD_STATUS_CANCELED = 98;
    static constexpr int32_t UPD_STATUS_SUPERSEDED = 99;
    static constexpr int32_t TARGET_FLAG_TARGET = 1;
    static constexpr int32_t TARGET_FLAG_SAME_VERSION = 81;
    static constexpr int32_t PKG_FLAG_DL_SUCCESS = 11;
    static constexpr int32_t PKG_FLAG_UPD_SUCCESS = 21;
    static constexpr int32_t PKG_FLAG_CANCELED = 98;
    static constexpr int32_t PKG_FLAG_SUPERSEDED = 99;
    static constexpr int32_t ROW_NOT_HELD = 1;

    // Results of init.
    static constexpr int32_t INIT_SUCCESS = 0;
    static constexpr int32_t INIT_EMPTY_NAME = 1;
    static constexpr int32_t INIT_DIRECTORY_FAILED = 2;
    static constexpr int32_t INIT_CREATE_FAILED = 3;
    // An existing file could not be checked (locked, busy, unopenable): it is kept as it is.
    static constexpr int32_t INIT_DB_UNDECIDED = 4;
    // An unreadable file could not be moved aside, so no new one was built over it.
    static constexpr int32_t INIT_MOVE_ASIDE_FAILED = 5;
    // The lock path holds something that cannot be removed (a directory, say).
    static constexpr int32_t INIT_LOCK_UNUSABLE = 6;
    // Another live agent holds the database folder (see AgentGuard).
    static constexpr int32_t INIT_AGENT_RUNNING = 7;

    // Results of checkDbAccess besides the row count.
    static constexpr int32_t ACCESS_EXCEPTION = -1;
    static constexpr int32_t ACCESS_UNREADABLE = -2;
    static constexpr int32_t ACCESS_BUSY = -3;
    static constexpr int32_t ACCESS_OPEN_FAILED = -9;

    static constexpr const char* DB_VERSION = "1.0";
    static const std::vector<std::string> create_table_sqls;
    // Made on first use and at start, so files built before them work unchanged.
    static constexpr const char* spool_mark_sql =
        "CREATE TABLE IF NOT EXISTS spool_mark ( spool TEXT NOT NULL, item INTEGER NOT NULL, PRIMARY KEY ( "
        "spool, item ) );";
    static constexpr const char* status_index_sql =
        "CREATE INDEX IF NOT EXISTS update_info_status ON update_info ( update_status );";

    static DbController* createInstance();
    static DbController* getInstance();

    // Tests build their own controllers; the agent uses createInstance.
    DbController();
    virtual ~DbController();
    DbController(const DbController&) = delete;
    DbController& operator=(const DbController&) = delete;

    int32_t init(const std::string& path, const std::string& filename, const std::string& lockOrder,
                 const std::string& lockUpd);
    bool open();
    void close();
    bool beginTransaction();
    bool commitTransaction();
    bool rollbackTransaction();

    // How long open() waits for the lock: tries, and the pause after each failed one.
    void setLockWait(int32_t tries, int32_t pauseMs);
    int32_t lockPause() const { return lockPauseMs.load(); }

    // Start-up steps.
    void setDbFile(const std::string& path, const std::string& filename);
    static int32_t SetLockFilename(const std::string& path, const std::string& lockOrder,
                                   const std::string& lockUpd);
    static int32_t makeDirectories(const std::string& path);
    // Gives up at once (errno EINTR) when the exit signal asked transfers to stop.
    static bool waitLock(int32_t tries, std::chrono::milliseconds pause = std::chrono::seconds(1));
    static int32_t getFileSize(const std::string& file);
    bool checkExistDbFile();
    int32_t checkDbAccess();
    int32_t accessCheck();
    bool createDbFile();

    // Local time texts ("%Y-%m-%d %H:%M:%S" or with slashes) and seconds since the epoch.
    // A text that does not parse, or a time outside 32 bits, gives 0 (not set).
    static int32_t textToTime(const std::string& text);
    // The same reading without the 32-bit limit; false when the text does not parse.
    static bool readTime(const std::string& text, int64_t& seconds);
    static std::string timeToText(int32_t seconds);

    // Order records. The operations below run on the caller's open connection and never open,
    // close or start a transaction themselves.
    // The new row's id; -1 not done, -2 exception, -3 stored but its id could not be read.
    int32_t insertOrderInfo(const std::string& receiveJson);
    int32_t updateSwupdSendResult(int32_t orderId, int32_t orderStatus, const std::string& responseJson);
    // The order item as it was received; 0 found, 1 no such row, -1 failed.
    int32_t selectReceiveJson(int32_t orderId, std::string& receiveJson);
    int32_t selectUnsentInstructionResultData(std::vector<model::OrderInfo>& orders);
    // Marks each record delivered (orderStatus 2 or 12) if its row still holds the queued status
    // and the very report that was sent; 0, or -1 when any statement failed.
    int32_t updateUnsentOrderInfo(const std::vector<model::OrderInfo>& orders);

    // Update and package records. The two "delete" operations close rows; nothing is removed.
    int32_t insertUpdateInfo(int32_t orderInfoId, int32_t swUpdNo, const std::string& downloadStartTime,
                             const std::string& downloadEndTime, const std::string& updateStartTime,
                             const std::string& updateEndTime);
    int32_t insertPakageInfo(int32_t swUpdNo, const std::string& packageName,
                             const std::string& packageVersion, const std::string& packageUrl,
                             int32_t targetFlag, const std::string& oldVersion);
    int32_t deleteUpdateInfoAtUpdNo(int32_t swUpdNo, int32_t status);
    // 1 when the open update row of that number came with exactly this order text, else 0; -1 failed.
    int32_t holdsOrder(int32_t swUpdNo, const std::string& receiveJson);
    int32_t deleteUpdatePackageAtUpdNo(int32_t swUpdNo, int32_t flag);
    // Puts stages cut off by a restart back to waiting: second step's code x 10 + first's.
    int32_t updateResetInstruction();
    // Rows at 11 or 21; -1 when they could not be counted.
    int32_t selectProcessingInstructionData();
    // A stage whose time text does not read as a moment after the epoch.
    struct UnreadableStage {
        int32_t id;
        int32_t status;
        std::string time;
    };
    // The stage with the earliest time; with no candidate, id, status and startTime keep their
    // values. Stages whose time cannot be read are left out and listed in `unreadable`.
    int32_t selectNextInstructionData(int32_t& id, int32_t& status, int64_t& startTime,
                                      const std::string& type,
                                      std::vector<UnreadableStage>* unreadable = nullptr);
    int32_t updateProcessingInsruction(int32_t id, int32_t status);
    int32_t selectTargetInstructionData(int32_t id, model::UpdateInfo& info);
    int32_t selectTargetPackageData(int32_t swUpdNo, std::vector<model::UpdatePackage>& packages);
    // Moves the row from heldStatus to info.updateStatus; ROW_NOT_HELD (nothing written) when
    // the row has left heldStatus meanwhile.
    int32_t updatePkgDownloadResult(bool withPackages, const std::string& timeText,
                                    const model::UpdateInfo& info,
                                    const std::vector<model::UpdatePackage>& packages, int32_t heldStatus);

    // Boot time records. The id of the row already holding this boot time, 0 for a new row,
    // -1 look-up failed, -2 insert failed; "/" in the text is stored as "-".
    int32_t insertOsBootTime(std::string bootTime);
    int32_t selectUnsentOsBootData(std::vector<std::string>& bootTimes);
    // Marks every unsent boot time as sent.
    int32_t updateOsBootTimeSendSuccess();

    const std::string& getDbFile() const { return dbFile; }
    // The open connection, or null; only for the thread that holds the lock.
    sqlite3* connection() const;

    // Marks item `item` of a kept poll answer as stored, inside the caller's transaction, so the
    // answer can be stored again after a crash without doubling an order: 0 marked now, 1 marked
    // before, -1 failed.
    int32_t markSpoolItem(const std::string& spool, int32_t item);
    // Forgets the marks of an answer whose file is gone; 0 or -1.
    int32_t deleteSpoolMarks(const std::string& spool);
    // Disk bounds. A closed order has no undelivered report and every update row of it ended
    // (19, 22, 29, 98, 99). Deletes the closed orders older than the newest `keep` closed ones,
    // their update rows, and the package rows stored with those rows (also when a newer row reuses
    // the update number). The number of order rows deleted, or -1. Call it inside a transaction.
    int32_t pruneClosedOrders(int32_t keep);
    // Update numbers whose files must stay: every number with a row that is not closed, and the
    // `keepRuns` most recent numbers whose rows are all closed. 0, or -1 when unreadable.
    int32_t selectUpdateNumbersToKeep(int32_t keepRuns, std::set<int32_t>& numbers);

  private:
    struct Closer {
        void operator()(sqlite3* handle) const { sqlite3_close_v2(handle); }
    };

    bool _exec(const char* sql);
    // Steps a statement that changes rows: 0 done, -1 not done. On an exception the result is
    // exceptionCode; failLinesOnException also writes the failure lines then.
    int32_t _stepChange(sqlite3_stmt* stmt, const char* op, int32_t exceptionCode, bool failLinesOnException,
                        const char* failWhat = "failed to update command_info");
    void _bindInt(sqlite3_stmt* stmt, int index, int32_t value, const char* op, const char* column);
    void _bindText(sqlite3_stmt* stmt, int index, const std::string& value, const char* op,
                   const char* column);

    std::string dbPath;
    std::string dbFileName;
    std::string dbFile;
    data::LogWrapper* log = nullptr;
    // Until init binds the real facade, lines go to one that drops them.
    std::unique_ptr<data::LogWrapper> silentLog;
    // The lock file decides who may use the connection; the mutex only publishes the handle
    // from the thread that opened it to the next holder.
    mutable std::mutex dbMutex;
    std::unique_ptr<sqlite3, Closer> db;
    std::atomic<int32_t> lockTries{60};
    std::atomic<int32_t> lockPauseMs{1000};
};

}  // namespace velk::db
