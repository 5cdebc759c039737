#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "model/UpdateInfo.h"
#include "model/UpdatePackage.h"

namespace velk::data {
class SettingData;
class LogWrapper;
}  // namespace velk::data

namespace velk::db {
class DbController;
}

namespace velk::feature {

// Carries out one software update run: downloads and/or installs the packages of one
// update_info row with the download and install scripts, stores each outcome, reports it and
// stores the report's fate. One object serves one run on a detached thread that owns it; the
// run touches nothing but what it owns and the process-wide settings, log facade and database
// controller, which are never destroyed, so a run may outlive every other thread's objects.
class SoftwareUpdateManager {
  public:
    explicit SoftwareUpdateManager(std::string pingCommand = paths::kPingCommand);
    virtual ~SoftwareUpdateManager() = default;

    SoftwareUpdateManager(const SoftwareUpdateManager&) = delete;
    SoftwareUpdateManager& operator=(const SoftwareUpdateManager&) = delete;

    // Runs update_info row `id` on a detached thread that owns the manager from here on and
    // destroys it when the run ends. 0 launched; 1 no manager, or it had been launched before;
    // -1 no thread could be created (the manager is gone then too).
    static int StartThread(std::unique_ptr<SoftwareUpdateManager> manager, int32_t id);
    // Runs started by StartThread that have not ended yet.
    static int runningThreads();
    // True while a run of this process is delivering the order's report itself.
    static bool reportInFlight(int32_t orderId);
    // The agent is stopping: running downloads end now, and their runs store nothing, so that
    // the next start downloads again. An install is left to finish.
    static void stopDownloads();

    // The whole run on the calling thread; never throws.
    void UpdateThread(int32_t id) noexcept;
    int updateMain();
    bool getUpdateTarget(int32_t id, model::UpdateInfo& info, std::vector<model::UpdatePackage>& packages);

    // One pass each: 0 when every stage succeeded; before the last trial the failure code of
    // stage 1, 3 or 4 at once; otherwise the number of a failed stage.
    int downloadProcess(bool lastTrial, model::UpdateInfo& info, std::vector<model::UpdatePackage>& packages);
    int updateProcess(bool lastTrial, model::UpdateInfo& info, std::vector<model::UpdatePackage>& packages);

    // Stages 1 to 4.
    int setParameter(const std::string& name, const model::UpdateInfo& info);
    void displayPackageInfo(const std::vector<model::UpdatePackage>& packages);
    int createPackageList(const std::vector<model::UpdatePackage>& packages);
    int executeDebianPackage();
    // Appends the command's whole output and stores the raw wait status; false when it cannot
    // be started (status untouched).
    static bool ExecCmd(const std::string& command, std::string& output, int& status);

    // Beside the list: LIST.sha256 (sha256sum's format) with the digests the order gives, and
    // LIST.order, the order item as received, for the checker the install script calls.
    int writeOrderFiles(const std::vector<model::UpdatePackage>& packages);
    // After a download: every package the order gives a digest for must hash to it; a file that
    // does not is deleted. 0 when all hold.
    int checkDigests(const std::vector<model::UpdatePackage>& packages);

    // Stages 5 to 7.
    int saveResult(model::UpdateInfo& info, std::vector<model::UpdatePackage>& packages, bool executed);
    int uploadResult(const model::UpdateInfo& info, bool executed, std::string& report);
    int saveSendResult(int32_t orderId, bool uploaded, const std::string& report);

    // Creates every missing directory of the path with mode 0775.
    static bool createDirectories(const std::string& path);

    // Working state of the latest pass.
    const std::string& packageDirectory() const { return packageDir; }
    const std::string& logFileName() const { return logFile; }
    const std::string& listFileName() const { return listFile; }
    int32_t stageNumber() const { return stageNo; }

  private:
    int _process(bool download, bool lastTrial, model::UpdateInfo& info,
                 std::vector<model::UpdatePackage>& packages);
    bool _networkReachable();
    void _releaseRow();
    // Runs `save` until it returns 0, pausing between tries; `what` names a failed try in the log.
    void _untilStored(const char* what, const std::function<int()>& save);
    // False once a cancel or a newer order has closed the held row.
    bool _rowStillHeld();
    // The report's message for this pass.
    std::string _reportMessage(bool executed) const;
    // Stores the outcome with its queued report, sends it and stores whether it went; true when it did.
    bool _storeAndReport(model::UpdateInfo& info, std::vector<model::UpdatePackage>& packages, bool executed);
    // With "honour_end_dates" 1, a stage whose end date has passed is closed as failed without running.
    bool _windowEnded(bool download, int32_t endTime, model::UpdateInfo& info,
                      std::vector<model::UpdatePackage>& packages);

    data::SettingData* settings = nullptr;
    data::LogWrapper* log = nullptr;
    db::DbController* db = nullptr;
    std::string pingPath;

    int32_t targetId = 0;
    bool started = false;
    std::string tid;

    bool isDownload = false;
    bool isUpdate = false;
    int32_t stageNo = 0;
    std::string procName;
    std::string procTag;
    std::string timeStamp;
    std::string packageDir;
    std::string logFile;
    std::string listFile;

    // A run that installs right after its download keeps the row in a processing state in
    // between, so the executor cannot start a second install of the same row beside it.
    bool holdForInstall = false;
    // The processing status (11, 21) the run holds its row in; 0 once the row has left it.
    int32_t heldId = 0;
    int32_t heldStatus = 0;
    // The order item as received, and what a failed pass adds to its report's message.
    std::string orderText;
    std::string failureNote;
    // The whole report message when a stage was closed without running.
    std::string reportText;
    // Stage 5 queued the report with the outcome.
    bool reportStored = false;
};

}  // namespace velk::feature
