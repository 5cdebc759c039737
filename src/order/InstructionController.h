#pragma once

#include <picojson.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BuildPaths.h"
#include "order/OrderSignature.h"

namespace velk::data {
class LogWrapper;
}
namespace velk::db {
class DbController;
}

namespace velk::order {

// Speaks the poll protocol: builds the request for the kinds that are due, marks acknowledged
// boot times as sent and stores each software-update order in one transaction of its own.
// Main thread only. It never stores a package whose fields could not be written safely to
// the package list file that the update scripts read.
class InstructionController {
  public:
    static constexpr int32_t REQUEST_BOOT_TIME = 1;
    static constexpr int32_t REQUEST_CHECK_ORDER = 2;
    static constexpr int32_t REQUEST_RESERVED = 3;

    // Longest package name, version or URL taken into the list file the scripts read.
    static constexpr size_t kMaxFieldBytes = 4096;

    explicit InstructionController(std::string dpkgQueryCommand = paths::kDpkgQueryCommand);
    virtual ~InstructionController() = default;

    // With the acknowledgement on, each request names the update numbers stored since the last
    // poll whose answer came back, and an order already held unchanged is acknowledged, not stored.
    void init(const std::string& substrate, bool acknowledgeOrders = false);
    // The last request reached the service and its answer came back: what it acknowledged is done.
    void requestAnswered();
    // Which items are taken, by their signatures; none is checked until this is called.
    void setOrderSignature(OrderSignature checker) { signature = std::move(checker); }
    const std::set<int32_t>& unacknowledged() const { return toAcknowledge; }
    size_t addPendingRequest(int32_t kind);
    size_t pendingRequestCount() const { return pendingRequests.size(); }
    size_t clearPendingRequests();

    std::string getAllInstructionJson();
    bool hasOsBootTimeResultFromReceiveData(const std::string& receiveData);
    bool hasCheckOrderFromReceiveData(const std::string& receiveData);
    // Stores the orders of an answer, each committed with a mark of (spool, its index) when a
    // spool name is given, so storing the same kept answer again skips what is already stored.
    // -1 when the text is no JSON, else the number of orders left for a later try: the first one
    // the database could not take for now (not opened, full, read-only, broken, not committed)
    // and every order after it, so that orders commit in answer order.
    int storeOrders(const std::string& receiveData, const std::string& spool);
    int getUnsentOsBootTimes(std::vector<std::string>& bootTimes);

    std::string getNowPackageVersion(const std::string& packageName);
    // Installed versions by name, from one dpkg-query run; a package counts as installed in any
    // installed state, whatever is wanted of it (a held one too). Names that are not package
    // names never reach the command.
    std::map<std::string, std::string> getInstalledVersions(const std::vector<std::string>& names);
    static bool ExecCmd(std::string command, std::string& output, int& exitStatus);

    // Debian package name: lower-case letters, digits, '+', '-', '.'; two characters or more,
    // starting with a letter or digit.
    static bool isValidPackageName(const std::string& name);
    // Debian version: a digit, then letters, digits and ".+~:-".
    static bool isDebianVersion(const std::string& version);
    // "http://" or "https://" and visible ASCII after it.
    static bool isPackageUrl(const std::string& url);

  private:
    enum class Outcome { Stored, Refused, Retry };
    // Stores the item's own row and the report that tells the service why it was refused, and
    // nothing that could run.
    Outcome _storeRefusal(const std::string& orderText, int32_t updNo, const std::string& reason);
    // Sets updNo to the order's update number, 0 when it has none.
    Outcome _storeOrder(const picojson::value& order, const std::string& spool, int32_t index,
                        int32_t& updNo);
    // Appends the "response" items of that kind, in order; throws when the answer or an item
    // is not an object, keeping what was found before.
    void _collectItems(const picojson::value& root, const std::string& kind, bool firstOnly,
                       std::vector<picojson::value>& found) const;

    // Request keys.
    const std::string kRequest = "request";
    const std::string kItem = "item";
    const std::string kChkSwUpd = "chk_sw_upd";
    const std::string kBootTime = "boot_time";
    const std::string kBootDatetime = "boot_datetime";
    const std::string kSubstrateCode = "substratecode";
    const std::string kOrderAck = "order_ack";
    // Response keys.
    const std::string kResponse = "response";
    const std::string kSwUpdate = "sw_update";
    const std::string kMode = "mode";
    const std::string kSwUpdNo = "sw_upd_no";
    const std::string kInstallStartDate = "install_start_date";
    const std::string kInstallEndDate = "install_end_date";
    const std::string kDownloadStartDate = "download_start_date";
    const std::string kDownloadEndDate = "download_end_date";
    const std::string kPkgUpdate = "pkg_update";
    const std::string kPkgName = "pkg_name";
    const std::string kPkgVersion = "pkg_version";
    const std::string kPkgUrl = "pkg_url";
    const std::string kPkgSha256 = "pkg_sha256";
    const std::string kCancel = "cancel";

    data::LogWrapper* log = nullptr;
    db::DbController* db = nullptr;
    std::set<int32_t> pendingRequests;
    std::string substrateCode;
    std::string dpkgQuery;
    bool acknowledge = false;
    std::set<int32_t> toAcknowledge;
    std::set<int32_t> inRequest;
    OrderSignature signature{SignaturePolicy::Off, "", ""};
};

}  // namespace velk::order
