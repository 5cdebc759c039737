#include "order/InstructionController.h"

#include <sqlite3.h>

#include <string_view>
#include <utility>

#include "JsonMember.h"
#include "JsonNumber.h"
#include "JsonParse.h"
#include "LogExcerpt.h"
#include "TextUtil.h"
#include "TimeFormat.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "db/DbController.h"
#include "db/DbSession.h"
#include "feature/PackageDigest.h"
#include "model/UpdateInfo.h"
#include "order/ProcResultNotification.h"

namespace velk::order {

namespace {

using Db = db::DbController;

}  // namespace

InstructionController::InstructionController(std::string dpkgQueryCommand)
    : dpkgQuery(std::move(dpkgQueryCommand)) {}

void InstructionController::init(const std::string& substrate, bool acknowledgeOrders) {
    log = data::LogWrapper::getInstance();
    log->setLogger("velk");
    db = Db::getInstance();
    substrateCode = substrate;
    acknowledge = acknowledgeOrders;
}

void InstructionController::requestAnswered() {
    for (int32_t number : inRequest) {
        toAcknowledge.erase(number);
    }
    inRequest.clear();
}

size_t InstructionController::addPendingRequest(int32_t kind) {
    pendingRequests.insert(kind);
    return pendingRequests.size();
}

size_t InstructionController::clearPendingRequests() {
    pendingRequests.clear();
    return pendingRequests.size();
}

std::string InstructionController::getAllInstructionJson() {
    log->debug("[{}:{}] in getAllInstructionJson : target size -> {}", VELK_AT, pendingRequests.size());
    picojson::array request;
    if (pendingRequests.count(REQUEST_BOOT_TIME) != 0) {
        std::vector<std::string> bootTimes;
        if (getUnsentOsBootTimes(bootTimes) == 0 && !bootTimes.empty()) {
            picojson::array times;
            for (const auto& bootTime : bootTimes) {
                times.emplace_back(bootTime);
            }
            picojson::object item;
            item[kItem] = picojson::value(kBootTime);
            item[kBootDatetime] = picojson::value(times);
            request.emplace_back(item);
            log->debug("[{}:{}] in getAllInstructionJson : order -> {}", VELK_AT, kBootTime);
        } else {
            log->debug("[{}:{}] in getAllInstructionJson : no data order -> {}", VELK_AT, kBootTime);
        }
    }
    if (pendingRequests.count(REQUEST_CHECK_ORDER) != 0) {
        picojson::object item;
        item[kItem] = picojson::value(kChkSwUpd);
        request.emplace_back(item);
        log->debug("[{}:{}] in getAllInstructionJson : order -> {}", VELK_AT, kChkSwUpd);
    }
    inRequest = toAcknowledge;
    if (!toAcknowledge.empty()) {
        picojson::array numbers;
        for (int32_t number : toAcknowledge) {
            numbers.emplace_back(static_cast<double>(number));
        }
        picojson::object item;
        item[kItem] = picojson::value(kOrderAck);
        item[kSwUpdNo] = picojson::value(numbers);
        request.emplace_back(item);
    }
    picojson::object result;
    if (!request.empty()) {
        result[kRequest] = picojson::value(request);
        result[kSubstrateCode] = picojson::value(substrateCode);
    }
    return picojson::value(result).serialize();
}

int InstructionController::getUnsentOsBootTimes(std::vector<std::string>& bootTimes) {
    db::DbSession session(db);
    log->verbose("[{}:{}] @@@ open db -> {}", VELK_AT, session.isOpen());
    if (!session.isOpen()) {
        log->warning("[{}:{}] update failed : DB open failed", VELK_AT);
        return -1;
    }
    int result = 0;
    if (db->selectUnsentOsBootData(bootTimes) != 0) {
        log->warning("[{}:{}] update failed : select unsent os boot time", VELK_AT);
        result = -2;
    } else {
        log->info("[{}:{}] success : select unsent os boot time : num -> {}", VELK_AT, bootTimes.size());
    }
    return result;
}

bool InstructionController::hasOsBootTimeResultFromReceiveData(const std::string& receiveData) {
    if (receiveData.empty()) {
        return true;
    }
    picojson::value root;
    std::string err = parseJson(root, receiveData);
    if (!err.empty()) {
        log->warning("[{}:{}] in hasOsBootTimeResultFromReceiveData : json parse error : {}", VELK_AT, err);
        log->flush();
        return false;
    }
    std::vector<picojson::value> acknowledgements;
    try {
        _collectItems(root, kBootTime, true, acknowledgements);
    } catch (const std::exception& e) {
        log->error("[{}:{}] in hasOsBootTimeResultFromReceiveData : json parse error (exception) -> {}",
                   VELK_AT, e.what());
        log->error("    -----------");
        log->error("{}", logExcerpt(receiveData));
        log->error("    -----------");
        log->flush();
        return false;
    }
    if (acknowledgements.empty()) {
        return false;
    }
    log->debug("find boot_time in receive data");

    db::DbSession session(db);
    log->verbose("[{}:{}] @@@ open db -> {}", VELK_AT, session.isOpen());
    if (session.begin()) {
        if (db->updateOsBootTimeSendSuccess() != 0) {
            log->warning("[{}:{}] update failed : os boot time send flag", VELK_AT);
            session.rollback();
        } else {
            log->info("[{}:{}] update os boot time send flag", VELK_AT);
            clearPendingRequests();
            if (!session.commit()) {
                log->warning("[{}:{}] update failed : failed to commit transaction", VELK_AT);
            }
        }
    } else {
        log->warning("[{}:{}] update failed : failed to start transaction", VELK_AT);
    }
    return true;
}

bool InstructionController::hasCheckOrderFromReceiveData(const std::string& receiveData) {
    return storeOrders(receiveData, std::string()) >= 0;
}

int InstructionController::storeOrders(const std::string& receiveData, const std::string& spool) {
    if (receiveData.empty()) {
        return 0;
    }
    picojson::value root;
    std::string err = parseJson(root, receiveData);
    if (!err.empty()) {
        log->warning("[{}:{}] in hasCheckOrderFromReceiveData : json parse error : {}", VELK_AT, err);
        log->flush();
        return -1;
    }
    std::vector<picojson::value> orders;
    try {
        _collectItems(root, kSwUpdate, false, orders);
    } catch (const std::exception& e) {
        log->error("[{}:{}] in hasCheckOrderFromReceiveData : json parse error (exception) -> {}", VELK_AT,
                   e.what());
        log->flush();
    }
    for (size_t i = 0; i < orders.size(); ++i) {
        log->debug("find sw_update in receive data");
    }
    // A later order never commits before an earlier one that has to wait: a cancel stored ahead
    // of its own "new" would be undone by it.
    for (size_t i = 0; i < orders.size(); ++i) {
        int32_t updNo = 0;
        if (_storeOrder(orders[i], spool, static_cast<int32_t>(i), updNo) == Outcome::Retry) {
            return static_cast<int>(orders.size() - i);
        }
        // A refused order is acknowledged too: handing it out again cannot change its fate.
        if (acknowledge && updNo > 0) {
            toAcknowledge.insert(updNo);
        }
    }
    return 0;
}

void InstructionController::_collectItems(const picojson::value& root, const std::string& kind,
                                          bool firstOnly, std::vector<picojson::value>& found) const {
    const auto& top = root.get<picojson::object>();
    auto it = top.find(kResponse);
    if (it == top.end() || !it->second.is<picojson::array>()) {
        return;
    }
    for (const auto& element : it->second.get<picojson::array>()) {
        const auto& item = element.get<picojson::object>();
        auto name = item.find(kItem);
        if (name != item.end() && name->second.is<std::string>() && name->second.get<std::string>() == kind) {
            found.push_back(element);
            if (firstOnly) {
                return;
            }
        }
    }
}

InstructionController::Outcome InstructionController::_storeOrder(const picojson::value& order,
                                                                  const std::string& spool, int32_t index,
                                                                  int32_t& updNo) {
    const std::string orderText = order.serialize();
    log->info("[{}:{}] in hasCheckOrderFromReceiveData : software update order : json-> {}", VELK_AT,
              orderText);
    const auto& item = order.get<picojson::object>();
    std::string mode = textMember(item, kMode);
    const picojson::value* number = setMember(item, kSwUpdNo);
    updNo = number != nullptr && number->is<double>() ? jsonToInt32(*number) : 0;
    bool failed = false;

    // Fields are checked and installed versions read before the transaction, so that it stays
    // short and the package manager runs once for the whole order.
    struct Package {
        std::string name, version, url;
    };
    const picojson::value* packageList = setMember(item, kPkgUpdate);
    bool havePackages = mode != kCancel && packageList != nullptr && packageList->is<picojson::array>() &&
                        !packageList->get<picojson::array>().empty();
    std::vector<Package> packages;
    size_t unusable = 0;
    if (havePackages) {
        for (const auto& package : packageList->get<picojson::array>()) {
            const picojson::object empty;
            const auto& fields = package.is<picojson::object>() ? package.get<picojson::object>() : empty;
            Package p{textMember(fields, kPkgName), textMember(fields, kPkgVersion),
                      textMember(fields, kPkgUrl)};
            // A digest is optional, but one that is given must be one.
            const bool digestOk = setMember(fields, kPkgSha256) == nullptr ||
                                  feature::PackageDigest::isDigestText(textMember(fields, kPkgSha256));
            if (digestOk && isValidPackageName(p.name) && isDebianVersion(p.version) && isPackageUrl(p.url)) {
                packages.push_back(std::move(p));
            } else {
                ++unusable;
            }
        }
    }
    std::vector<std::string> names;
    for (const auto& p : packages) {
        names.push_back(p.name);
    }
    std::map<std::string, std::string> installed = getInstalledVersions(names);
    const OrderVerdict verdict = signature.check(item, &installed, nowSeconds());
    if (!verdict.accepted) {
        log->warning("[{}:{}] order {} refused : {}", VELK_AT, updNo, verdict.reason);
    } else if (!verdict.keyFile.empty()) {
        log->info("[{}:{}] order {} : signature verified : key {}", VELK_AT, updNo, verdict.keyFile);
    }

    db::DbSession session(db);
    log->verbose("[{}:{}] @@@ open db -> {} ", VELK_AT, session.isOpen());
    if (!session.begin()) {
        log->warning("[{}:{}] update failed : failed to start transaction", VELK_AT);
        return Outcome::Retry;
    }
    if (!spool.empty()) {
        int32_t mark = db->markSpoolItem(spool, index);
        if (mark != 0) {
            log->info("[{}:{}] kept order {} of {} : {}", VELK_AT, index, spool,
                      mark == 1 ? "already stored" : "not marked, kept for a later try");
            return mark == 1 ? Outcome::Stored : Outcome::Retry;
        }
    }
    if (!verdict.accepted) {
        Outcome outcome = _storeRefusal(orderText, updNo, verdict.reason);
        return outcome == Outcome::Stored && !session.commit() ? Outcome::Retry : outcome;
    }
    // The service hands an order out again until it is acknowledged; the copy changes nothing.
    const int32_t held = acknowledge && mode != kCancel ? db->holdsOrder(updNo, orderText) : 0;
    if (held != 0) {
        log->info(
            "[{}:{}] order {} {}", VELK_AT, updNo,
            held == 1 ? "already held unchanged : acknowledged again" : "not checked, kept for a later try");
        return held == 1 && session.commit() ? Outcome::Stored : Outcome::Retry;
    }

    int orderInfoId = db->insertOrderInfo(orderText);
    // Only a row id may own update rows; anything else would leave them pointing nowhere.
    bool haveOrderRow = orderInfoId >= 1;
    if (!haveOrderRow) {
        failed = true;
    } else {
        int32_t closing = mode == kCancel ? Db::UPD_STATUS_CANCELED : Db::UPD_STATUS_SUPERSEDED;
        int32_t packageClosing = mode == kCancel ? Db::PKG_FLAG_CANCELED : Db::PKG_FLAG_SUPERSEDED;
        log->debug("[{}:{}] in hasCheckOrderFromReceiveData : order json-> {}", VELK_AT, orderText);
        if (db->deleteUpdateInfoAtUpdNo(updNo, closing) == 0) {
            log->info("[{}:{}] hasCheckOrderFromReceiveData : DB delete success - update info", VELK_AT);
        } else {
            log->warning("[{}:{}] hasCheckOrderFromReceiveData : DB delete failed - update info", VELK_AT);
        }
        if (db->deleteUpdatePackageAtUpdNo(updNo, packageClosing) == 0) {
            log->info("[{}:{}] hasCheckOrderFromReceiveData : DB delete success - update package", VELK_AT);
        } else {
            log->warning("[{}:{}] hasCheckOrderFromReceiveData : DB delete failed - update package", VELK_AT);
        }

        if (havePackages) {
            if (db->insertUpdateInfo(orderInfoId, updNo, textMember(item, kDownloadStartDate),
                                     textMember(item, kDownloadEndDate), textMember(item, kInstallStartDate),
                                     textMember(item, kInstallEndDate)) != 0) {
                log->warning("[{}:{}] hasCheckOrderFromReceiveData : DB insert failed - update update info",
                             VELK_AT);
                failed = true;
            } else {
                log->info("[{}:{}] hasCheckOrderFromReceiveData : DB insert success - update info", VELK_AT);
                for (size_t i = 0; i < unusable; ++i) {
                    log->warning(
                        "[{}:{}] hasCheckOrderFromReceiveData : DB insert failed : no have package data - "
                        "update "
                        "package info",
                        VELK_AT);
                }
                for (const auto& p : packages) {
                    auto found = installed.find(p.name);
                    std::string oldVersion = found == installed.end() ? std::string() : found->second;
                    int32_t flag =
                        oldVersion == p.version ? Db::TARGET_FLAG_SAME_VERSION : Db::TARGET_FLAG_TARGET;
                    if (db->insertPakageInfo(updNo, p.name, p.version, p.url, flag, oldVersion) == 0) {
                        log->info(
                            "[{}:{}] hasCheckOrderFromReceiveData : DB insert success - update package info",
                            VELK_AT);
                    } else {
                        log->warning(
                            "[{}:{}] hasCheckOrderFromReceiveData : DB insert failed - update package info",
                            VELK_AT);
                        failed = true;
                        break;
                    }
                }
            }
        }
    }

    Outcome outcome = Outcome::Stored;
    if (failed) {
        // Only the order's own content can make a write fail for good; a full, read-only, busy or
        // broken database refuses it only for now.
        int code = sqlite3_errcode(db->connection()) & 0xff;
        bool refused = code == SQLITE_CONSTRAINT || code == SQLITE_TOOBIG || code == SQLITE_MISMATCH ||
                       code == SQLITE_RANGE;
        log->warning("[{}:{}] update failed : insert order info", VELK_AT);
        if (!refused) {
            log->warning("[{}:{}] order kept for a later try : database error -> {}", VELK_AT, code);
        }
        session.rollback();
        outcome = refused ? Outcome::Refused : Outcome::Retry;
    } else if (session.commit()) {
        log->info("[{}:{}] update success : insert order info", VELK_AT);
    } else {
        log->warning("[{}:{}] update failed : failed to commit transaction", VELK_AT);
        outcome = Outcome::Retry;
    }
    return outcome;
}

InstructionController::Outcome InstructionController::_storeRefusal(const std::string& orderText,
                                                                    int32_t updNo,
                                                                    const std::string& reason) {
    model::UpdateInfo info;
    info.swUpdNo = updNo;
    info.updateStatus = Db::UPD_STATUS_DL_FAILED;
    const int64_t now = nowSeconds();
    info.statusChangeTime = now > 0 && now <= INT32_MAX ? static_cast<int32_t>(now) : 0;
    const std::string report =
        ProcResultNotification().createUpdateResult(info, "refused : " + reason, substrateCode);
    const int32_t orderInfoId = db->insertOrderInfo(orderText);
    if (orderInfoId < 1 || db->updateSwupdSendResult(orderInfoId, Db::ORDER_STATUS_DL_UNSENT, report) != 0) {
        log->warning("[{}:{}] order {} : refusal not stored, kept for a later try", VELK_AT, updNo);
        return Outcome::Retry;
    }
    return Outcome::Stored;
}

bool InstructionController::isValidPackageName(const std::string& name) {
    if (name.size() < 2 || name.size() > kMaxFieldBytes) {
        return false;
    }
    auto lowerOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    if (!lowerOrDigit(name[0])) {
        return false;
    }
    for (char c : name) {
        if (!lowerOrDigit(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool InstructionController::isDebianVersion(const std::string& version) {
    if (version.empty() || version.size() > kMaxFieldBytes || version[0] < '0' || version[0] > '9') {
        return false;
    }
    for (char c : version) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::string_view(".+~:-").find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool InstructionController::isPackageUrl(const std::string& url) {
    size_t scheme = url.rfind("http://", 0) == 0 ? 7 : url.rfind("https://", 0) == 0 ? 8 : 0;
    if (scheme == 0 || url.size() <= scheme || url.size() > kMaxFieldBytes) {
        return false;
    }
    for (char c : url) {
        auto u = static_cast<unsigned char>(c);
        // Brackets would be expanded by curl as a range of addresses.
        if (u <= 0x20 || u >= 0x7f || c == '[' || c == ']') {
            return false;
        }
    }
    return true;
}

std::string InstructionController::getNowPackageVersion(const std::string& packageName) {
    auto versions = getInstalledVersions({packageName});
    auto found = versions.find(packageName);
    return found == versions.end() ? std::string() : found->second;
}

std::map<std::string, std::string> InstructionController::getInstalledVersions(
    const std::vector<std::string>& names) {
    std::map<std::string, std::string> versions;
    const std::string base = dpkgQuery + " -W -f='${Package}\\t${Status}\\t${Version}\\n'";
    // A shell takes one command text of at most 128 KiB; a giant order is asked in parts.
    constexpr size_t kMaxCommand = 100 * 1024;
    std::string command = base;
    auto run = [&]() {
        if (command.size() == base.size()) {
            return;
        }
        command += " 2>/dev/null";
        log->info("[{}:{}] in getNowPackageVersion : === get version of installed Debian package : {}",
                  VELK_AT, command);
        std::string output;
        int exitCode = 0;
        bool started = false;
        try {
            started = ExecCmd(command, output, exitCode);
        } catch (const std::exception& e) {
            log->info("[{}:{}] in getNowPackageVersion : exception : reason -> {}", VELK_AT, e.what());
        }
        command = base;
        // dpkg-query ends with 1 when some name is unknown; the lines of the others still count.
        if (!started || (exitCode != 0 && exitCode != 256)) {
            log->error(
                "[{}:{}] in getNowPackageVersion : === failed to get version of installed Debian package : "
                "ret "
                "-> {} : command exit code -> {}",
                VELK_AT, started ? "success" : "failed", exitCode);
            return;
        }
        if (output.empty()) {
            log->warning(
                "[{}:{}] in getNowPackageVersion : === failed to get version of installed Debian package : "
                "output message size -> {}",
                VELK_AT, 0);
            return;
        }
        log->info("[{}:{}] ====***** output -> {}", VELK_AT, output);
        std::vector<std::string> lines = split(output, '\n');
        log->info("[{}:{}] ====***** split size -> {}", VELK_AT, lines.size());
        for (std::string line : lines) {
            removeLineBreaks(line);
            size_t tab1 = line.find('\t');
            size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
            if (tab2 == std::string::npos) {
                continue;
            }
            std::string status = line.substr(tab1 + 1, tab2 - tab1 - 1);
            std::string state = status.substr(status.rfind(' ') + 1);
            // Want flags (install, hold, deinstall, purge) do not change what is on the disk.
            bool isInstalled =
                state == "installed" || state == "triggers-pending" || state == "triggers-awaited";
            std::string version = line.substr(tab2 + 1);
            if (isInstalled && !version.empty()) {
                // Several lines are the same package for several architectures: the first one counts.
                versions.emplace(line.substr(0, tab1), version);
            }
        }
    };
    for (const auto& name : names) {
        if (!isValidPackageName(name)) {
            log->warning("[{}:{}] in getNowPackageVersion : not a Debian package name, nothing run : {}",
                         VELK_AT, name);
            continue;
        }
        if (command.size() + name.size() + 3 > kMaxCommand) {
            run();
        }
        command += " " + shellQuote(name);
    }
    run();
    return versions;
}

bool InstructionController::ExecCmd(std::string command, std::string& output, int& exitStatus) {
    return data::SettingData::ExecCmd(command, output, exitStatus);
}

}  // namespace velk::order
