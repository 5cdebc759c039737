#include "ctl/StatusReader.h"

#include <sqlite3.h>

#include <map>
#include <memory>
#include <sstream>
#include <utility>

#include "db/DbController.h"
#include "db/SQLiteStmtMaker.h"

namespace velk::ctl {
namespace {

using Db = db::DbController;

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

// The agent may hold a write transaction for a moment; wait rather than fail.
constexpr int kBusyWaitMs = 10000;

picojson::value column(sqlite3_stmt* stmt, int index) {
    switch (sqlite3_column_type(stmt, index)) {
        case SQLITE_INTEGER:
            return picojson::value(static_cast<int64_t>(sqlite3_column_int64(stmt, index)));
        case SQLITE_NULL:
            return picojson::value(std::string());
        default: {
            const unsigned char* text = sqlite3_column_text(stmt, index);
            return picojson::value(text == nullptr ? std::string() : reinterpret_cast<const char*>(text));
        }
    }
}

// Runs `sql` and hands each row's named columns to `row`.
template <typename RowFunction>
bool query(sqlite3* db, const char* sql, RowFunction row, std::string& error) {
    db::SQLiteStmtMaker maker(db);
    sqlite3_stmt* raw = maker.make(sql);
    if (raw == nullptr) {
        error = sqlite3_errmsg(db);
        return false;
    }
    int code;
    while ((code = sqlite3_step(raw)) == SQLITE_ROW) {
        picojson::object fields;
        for (int i = 0; i < sqlite3_column_count(raw); ++i) {
            fields[sqlite3_column_name(raw, i)] = column(raw, i);
        }
        row(std::move(fields));
    }
    if (code != SQLITE_DONE) {
        error = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

std::string text(const picojson::object& object, const std::string& key) {
    auto it = object.find(key);
    return it == object.end() ? std::string() : it->second.to_str();
}

}  // namespace

StatusReader::StatusReader(std::string file) : databaseFile(std::move(file)) {}

std::string StatusReader::statusWord(int64_t status) {
    switch (status) {
        case Db::UPD_STATUS_WAIT:
            return "waiting";
        case Db::UPD_STATUS_DL_PROCESSING:
            return "downloading";
        case Db::UPD_STATUS_DL_SUCCESS:
            return "downloaded";
        case Db::UPD_STATUS_UPD_PROCESSING:
            return "installing";
        case Db::UPD_STATUS_UPD_SUCCESS:
            return "installed";
        case Db::UPD_STATUS_DL_FAILED:
        case Db::UPD_STATUS_UPD_FAILED:
            return "failed";
        case Db::UPD_STATUS_CANCELED:
            return "cancelled";
        case Db::UPD_STATUS_SUPERSEDED:
            return "superseded";
        default:
            return "unknown";
    }
}

bool StatusReader::read(picojson::object& status, std::string& error) const {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(databaseFile.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    DbHandle db(raw);
    if (opened != SQLITE_OK) {
        error = raw == nullptr ? "out of memory" : sqlite3_errmsg(raw);
        return false;
    }
    sqlite3_busy_timeout(raw, kBusyWaitMs);
    // One short read transaction: a consistent picture, and the agent's commit waits for it once
    // at most, for a few statements that each read a table straight through.
    bool ok = sqlite3_exec(raw, "BEGIN;", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        error = sqlite3_errmsg(raw);
        return false;
    }
    std::map<int64_t, picojson::array> packages;
    ok = query(
        raw,
        "SELECT sw_upd_no, package_name AS name, package_version AS version, old_version, "
        "package_url AS url, target_flag, download_flag FROM update_package ORDER BY id;",
        [&packages](picojson::object package) {
            const int64_t number =
                package["sw_upd_no"].is<int64_t>() ? package["sw_upd_no"].get<int64_t>() : -1;
            package.erase("sw_upd_no");
            packages[number].emplace_back(std::move(package));
        },
        error);
    picojson::array updates;
    auto addUpdate = [&updates](picojson::object row) {
        const int64_t code = row["update_status"].is<int64_t>() ? row["update_status"].get<int64_t>() : -1;
        row["status"] = picojson::value(statusWord(code));
        updates.emplace_back(std::move(row));
    };
    ok = ok &&
         query(raw,
               "SELECT id, sw_upd_no, update_status, receive_time, status_change_time, download_start_time, "
               "download_end_time, update_start_time AS install_start_time, update_end_time AS "
               "install_end_time FROM update_info ORDER BY id;",
               addUpdate, error);
    for (auto& update : updates) {
        auto& row = update.get<picojson::object>();
        const int64_t number = row["sw_upd_no"].is<int64_t>() ? row["sw_upd_no"].get<int64_t>() : -1;
        auto found = packages.find(number);
        row["packages"] = picojson::value(found == packages.end() ? picojson::array() : found->second);
    }
    int64_t unsent = 0;
    ok = ok && query(
                   raw, "SELECT COUNT(*) AS n FROM order_info WHERE order_status IN ( 1, 11 );",
                   [&unsent](picojson::object row) { unsent = row["n"].get<int64_t>(); }, error);
    picojson::array boots;
    ok = ok && query(
                   raw, "SELECT boot_time FROM os_boot_time WHERE is_send = 0 ORDER BY id;",
                   [&boots](picojson::object row) { boots.push_back(row["boot_time"]); }, error);
    // Nothing was written: ending the read, however it ends, only lets the agent's commit go.
    sqlite3_exec(raw, "COMMIT;", nullptr, nullptr, nullptr);
    if (!ok) {
        return false;
    }
    status["updates"] = picojson::value(std::move(updates));
    status["reports_to_send"] = picojson::value(unsent);
    status["boot_times_unacknowledged"] = picojson::value(std::move(boots));
    return true;
}

std::string StatusReader::toText(const picojson::object& status) {
    std::ostringstream out;
    out << "substrate code: " << text(status, "substrate_code") << "\n"
        << "configuration:  " << text(status, "setting_file") << "\n"
        << "database:       " << text(status, "database") << "\n";
    auto updates = status.find("updates");
    if (updates != status.end() && updates->second.is<picojson::array>()) {
        out << "updates:        " << updates->second.get<picojson::array>().size() << "\n";
        for (const auto& entry : updates->second.get<picojson::array>()) {
            const auto& u = entry.get<picojson::object>();
            out << "  update " << text(u, "sw_upd_no") << ": " << text(u, "status") << " (since "
                << text(u, "status_change_time") << "); download " << text(u, "download_start_time") << " - "
                << text(u, "download_end_time") << "; install " << text(u, "install_start_time") << " - "
                << text(u, "install_end_time") << "\n";
            auto packages = u.find("packages");
            if (packages == u.end() || !packages->second.is<picojson::array>()) {
                continue;
            }
            for (const auto& p : packages->second.get<picojson::array>()) {
                const auto& package = p.get<picojson::object>();
                out << "    " << text(package, "name") << " " << text(package, "old_version") << " -> "
                    << text(package, "version") << "  " << text(package, "url") << "\n";
            }
        }
    }
    out << "reports to send: " << text(status, "reports_to_send") << "\n";
    out << "boot times not acknowledged:";
    auto boots = status.find("boot_times_unacknowledged");
    if (boots != status.end() && boots->second.is<picojson::array>()) {
        for (const auto& boot : boots->second.get<picojson::array>()) {
            out << " " << boot.to_str();
        }
    }
    out << "\n";
    return out.str();
}

}  // namespace velk::ctl
