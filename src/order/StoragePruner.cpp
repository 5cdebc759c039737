#include "order/StoragePruner.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "db/DbController.h"
#include "db/DbSession.h"
#include "feature/SoftwareUpdateManager.h"

namespace velk::order {

namespace fs = std::filesystem;

namespace {

bool parseNumber(const std::string& text, int32_t& number) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
        return false;
    }
    number = static_cast<int32_t>(value);
    return true;
}

// The update number of a stage file "<prefix>..._id-<number><suffix>".
bool stageFileNumber(const std::string& name, const std::string& prefix, const std::string& suffix,
                     int32_t& number) {
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string stem = name.substr(0, name.size() - suffix.size());
    const size_t mark = stem.rfind("_id-");
    return mark != std::string::npos && parseNumber(stem.substr(mark + 4), number);
}

}  // namespace

StoragePruner::Limits StoragePruner::fromSettings(const data::SettingData* settings) {
    Limits limits;
    if (settings != nullptr) {
        limits.keepClosedOrders = settings->getInt("keep_closed_orders", -1);
        limits.keepRunFiles = settings->getInt("keep_run_files", -1);
        limits.packageDir = settings->getString("package_dir");
        limits.logDir = settings->getString("upd_log_dir");
        limits.listDir = settings->getString("target_pkg_list_dir");
    }
    return limits;
}

StoragePruner::StoragePruner(Limits bounds, db::DbController* database)
    : limits(std::move(bounds)),
      db(database != nullptr ? database : db::DbController::getInstance()),
      log(data::LogWrapper::getInstance()) {}

int StoragePruner::prune() {
    if ((limits.keepClosedOrders < 0 && limits.keepRunFiles < 0) ||
        feature::SoftwareUpdateManager::runningThreads() > 0) {
        return 0;
    }
    db::DbSession session(db);
    if (!session.isOpen()) {
        return -1;
    }
    int32_t rows = 0;
    std::set<int32_t> keep;
    bool ok = session.begin();
    if (ok && limits.keepClosedOrders >= 0) {
        rows = db->pruneClosedOrders(limits.keepClosedOrders);
        ok = rows >= 0;
    }
    if (ok && limits.keepRunFiles >= 0) {
        ok = db->selectUpdateNumbersToKeep(limits.keepRunFiles, keep) == 0;
    }
    ok = ok && session.commit();
    session.close();
    if (!ok) {
        log->warning("[{}:{}] <ORDER> prune : failed : nothing removed", VELK_AT);
        return -1;
    }
    const int files = limits.keepRunFiles >= 0 ? _removeFiles(keep) : 0;
    if (rows > 0 || files > 0) {
        log->info("[{}:{}] <ORDER> prune : closed orders removed -> {} : files removed -> {}", VELK_AT, rows,
                  files);
    }
    return rows + files;
}

int StoragePruner::_removeFiles(const std::set<int32_t>& keep) {
    struct Place {
        const std::string& dir;
        const char* prefix;
        const char* suffix;
    };
    // An empty prefix and suffix stand for the package directories, named by the bare number.
    const Place places[] = {{limits.logDir, "", ".log"},
                            {limits.listDir, "package_info_", ".list"},
                            {limits.listDir, "package_info_", ".list.sha256"},
                            {limits.listDir, "package_info_", ".list.order"},
                            {limits.packageDir, "", ""}};
    int removed = 0;
    for (const Place& place : places) {
        std::error_code error;
        if (place.dir.empty() || !fs::is_directory(place.dir, error)) {
            continue;
        }
        for (fs::directory_iterator it(place.dir, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            const bool packageDir = *place.suffix == '\0';
            int32_t number = 0;
            const bool matches = packageDir ? it->is_directory(error) && parseNumber(name, number)
                                            : it->is_regular_file(error) &&
                                                  stageFileNumber(name, place.prefix, place.suffix, number);
            if (!matches || keep.count(number) != 0) {
                continue;
            }
            std::error_code removeError;
            if (fs::remove_all(it->path(), removeError) > 0 && !removeError) {
                log->debug("[{}:{}] <ORDER> prune : removed -> {}", VELK_AT, it->path().string());
                ++removed;
            } else {
                log->warning("[{}:{}] <ORDER> prune : cannot remove {} -> {}", VELK_AT, it->path().string(),
                             removeError.message());
            }
        }
    }
    return removed;
}

}  // namespace velk::order
