// Micro benchmarks of the work whose cost grows with what a device has stored: order intake,
// the executor's next-stage choice and the disk prune. Run by `make bench`.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "TextUtil.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "db/DbController.h"
#include "feature/PackageDigest.h"
#include "order/InstructionController.h"
#include "order/InstructionExecuter.h"
#include "order/OrderSignature.h"
#include "order/StoragePruner.h"
#include "support/SigningKey.h"

namespace {

using velk::db::DbController;

// One scratch directory, settings and database for the whole run; removed at exit.
class World {
  public:
    World() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velk-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir = pattern;
        write("velk.conf", "{}", 0644);
        write("substrate", "#!/bin/sh\necho BENCH\n", 0755);
        // Nothing installed: every ordered package becomes a target.
        dpkg = write("dpkg", "#!/bin/sh\nexit 1\n", 0755);
        velk::data::SettingData::createInstance(dir + "/velk.conf", dir + "/substrate");
        spdlog::register_logger(
            std::make_shared<spdlog::logger>("velk", std::make_shared<spdlog::sinks::null_sink_mt>()));
        velk::data::LogWrapper::createInstance()->setLogger("velk");
        db = DbController::createInstance();
        if (db->init(dir + "/db", "velk.db", "db_rw.lock", "db_ro.lock") != 0) {
            throw std::runtime_error("database init failed");
        }
        sqlite3* raw = nullptr;
        sqlite3_open((dir + "/db/velk.db").c_str(), &raw);
        side.reset(raw);
    }
    ~World() {
        side.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string write(const std::string& name, const std::string& text, mode_t mode) {
        std::ofstream(dir + "/" + name) << text;
        chmod((dir + "/" + name).c_str(), mode);
        return dir + "/" + name;
    }
    void exec(const std::string& sql) {
        if (sqlite3_exec(side.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sqlite3_errmsg(side.get()));
        }
    }
    void clear() { exec("DELETE FROM update_package; DELETE FROM update_info; DELETE FROM order_info;"); }
    // `rows` orders: all but the last ten closed and reported, those ten waiting for their download.
    void fill(int rows) {
        clear();
        exec("BEGIN;");
        for (int i = 1; i <= rows; ++i) {
            const bool waiting = i > rows - 10;
            const std::string n = std::to_string(i);
            exec(
                std::string(
                    "INSERT INTO order_info ( receive_json, order_kind, order_time, order_status ) VALUES "
                    "( '{}', 2, CURRENT_TIMESTAMP, ") +
                (waiting ? "-1" : "12") +
                " ); INSERT INTO update_info ( order_info_id, sw_upd_no, update_status, download_start_time, "
                "download_end_time, update_start_time, update_end_time ) VALUES ( last_insert_rowid(), " +
                n + ", " + (waiting ? "0" : "22") +
                ", '2030-01-01 00:00:00', '2030-01-01 01:00:00', '2030-01-02 00:00:00', '2030-01-02 "
                "01:00:00' ); INSERT INTO update_package ( sw_upd_no, package_name, package_version, "
                "package_url, target_flag ) VALUES ( " +
                n + ", 'pkg', '1.0', 'http://s/pkg.deb', 1 );");
        }
        exec("COMMIT;");
    }

    std::string dir;
    std::string dpkg;
    DbController* db = nullptr;

  private:
    struct Closer {
        void operator()(sqlite3* handle) const { sqlite3_close_v2(handle); }
    };
    std::unique_ptr<sqlite3, Closer> side;
};

World& world() {
    static World instance;
    return instance;
}

std::string orderOf(int packages) {
    std::string list;
    for (int i = 0; i < packages; ++i) {
        list += (i == 0 ? "" : ",") + std::string(R"({"pkg_name":"pkg)") + std::to_string(i) +
                R"(","pkg_version":"1.0","pkg_url":"http://s/pkg.deb"})";
    }
    return R"({"response":[{"item":"sw_update","mode":"new","sw_upd_no":1,)"
           R"("download_start_date":"2030/01/01 00:00:00","download_end_date":"2030/01/01 01:00:00",)"
           R"("install_start_date":"2030/01/02 00:00:00","install_end_date":"2030/01/02 01:00:00",)"
           R"("pkg_update":[)" +
           list + "]}]}";
}

void BM_Intake(benchmark::State& state) {
    World& w = world();
    w.clear();
    velk::order::InstructionController controller(w.dpkg);
    controller.init("BENCH");
    const std::string response = orderOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (!controller.hasCheckOrderFromReceiveData(response)) {
            state.SkipWithError("order not taken");
            break;
        }
        state.PauseTiming();
        w.clear();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Intake)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();

// What the signature check adds to taking in one signed order of N packages with digests.
void BM_OrderCheck(benchmark::State& state) {
    World& w = world();
    const velk::test::SigningKey key;
    std::filesystem::create_directories(w.dir + "/keys");
    w.write("keys/order.pem", key.publicPem(), 0644);
    picojson::value root;
    picojson::parse(
        root,
        velk::replaceAll(orderOf(static_cast<int>(state.range(0))), R"("pkg_url":"http://s/pkg.deb")",
                         R"("pkg_url":"http://s/pkg.deb","pkg_sha256":")" + std::string(64, 'a') + "\""));
    auto& item = root.get("response").get<picojson::array>()[0].get<picojson::object>();
    item["signature"] = picojson::value(key.sign(velk::order::OrderSignature::signedText(item, "*")));
    const velk::order::OrderSignature checker(velk::order::SignaturePolicy::Required, w.dir + "/keys",
                                              "BENCH");
    const std::map<std::string, std::string> installed;
    for (auto _ : state) {
        if (!checker.check(item, &installed, 1).accepted) {
            state.SkipWithError("order refused");
            break;
        }
    }
}
BENCHMARK(BM_OrderCheck)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond);

// SHA-256 of a downloaded package of N MiB, read from the disk's cache as the check reads it.
void BM_PackageDigest(benchmark::State& state) {
    World& w = world();
    const std::string file =
        w.write("package.deb", std::string(static_cast<size_t>(state.range(0)) << 20, 'x'), 0644);
    for (auto _ : state) {
        if (velk::feature::PackageDigest::ofFile(file).size() != 64) {
            state.SkipWithError("file unreadable");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
    std::remove(file.c_str());
}
BENCHMARK(BM_PackageDigest)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

// One executor pass's look for the next stage: open, count running stages, select, close.
void BM_NextStage(benchmark::State& state) {
    World& w = world();
    w.fill(static_cast<int>(state.range(0)));
    auto executor = std::make_shared<velk::order::InstructionExecuter>();
    for (auto _ : state) {
        int32_t id = 0;
        int32_t status = 0;
        int64_t time = 0;
        std::string type;
        benchmark::DoNotOptimize(executor->checkLastInstruction(id, status, time, type));
    }
}
BENCHMARK(BM_NextStage)->RangeMultiplier(10)->Range(10, 10000)->Unit(benchmark::kMillisecond);

// The executor's prune keeping 200 closed orders and the files of 20 runs, from `range` stored
// orders down to 200.
void BM_Prune(benchmark::State& state) {
    World& w = world();
    velk::order::StoragePruner::Limits limits{200, 20, w.dir + "/pkgs", w.dir + "/logs", w.dir + "/lists"};
    for (auto _ : state) {
        state.PauseTiming();
        w.fill(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        benchmark::DoNotOptimize(velk::order::StoragePruner(limits, w.db).prune());
    }
}
BENCHMARK(BM_Prune)->RangeMultiplier(10)->Range(10, 10000)->Unit(benchmark::kMillisecond);

// Disk held by the database file and the stage files, in allocated bytes.
void diskUse(const World& w, long& dbBytes, long& fileBytes, long& files) {
    struct stat st {};
    dbBytes = stat((w.dir + "/db/velk.db").c_str(), &st) == 0 ? static_cast<long>(st.st_blocks) * 512 : 0;
    fileBytes = 0;
    files = 0;
    for (const char* sub : {"/pkgs", "/logs", "/lists"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(w.dir + sub)) {
            if (lstat(entry.path().c_str(), &st) == 0) {
                fileBytes += static_cast<long>(st.st_blocks) * 512;
                files += entry.is_regular_file() ? 1 : 0;
            }
        }
    }
}

// Simulates `orders` finished and reported updates one after another, each with its two log
// files, two list files and a downloaded package, with the executor's prune after each one,
// and prints the disk use after 200 orders and after the last as JSON lines.
int simulate(int orders) {
    World& w = world();
    w.clear();
    velk::order::StoragePruner::Limits limits{200, 20, w.dir + "/pkgs", w.dir + "/logs", w.dir + "/lists"};
    for (const char* sub : {"/pkgs", "/logs", "/lists"}) {
        std::filesystem::create_directories(w.dir + sub);
    }
    const std::string receive(480, 'r');
    const std::string report(320, 'x');
    const std::string deb(16384, 'd');
    const std::string logText(1024, 'l');
    for (int i = 1; i <= orders; ++i) {
        const std::string n = std::to_string(i);
        w.exec(
            "BEGIN; INSERT INTO order_info ( receive_json, order_kind, order_time, order_status, "
            "response_json ) "
            "VALUES ( '" +
            receive + "', 2, CURRENT_TIMESTAMP, 12, '" + report +
            "' ); INSERT INTO update_info ( order_info_id, sw_upd_no, update_status ) VALUES ( "
            "last_insert_rowid(), " +
            n +
            ", 22 ); INSERT INTO update_package ( sw_upd_no, package_name, "
            "package_version, package_url, target_flag, download_flag ) VALUES ( " +
            n + ", 'pkg', '1.0', 'http://s/pkg.deb', 1, 21 ); COMMIT;");
        std::filesystem::create_directories(w.dir + "/pkgs/" + n);
        w.write("pkgs/" + n + "/pkg_1.0_armhf.deb", deb, 0644);
        for (const char* stage : {"download", "update"}) {
            w.write(std::string("logs/") + stage + "_20260101-000000_id-" + n + ".log", logText, 0644);
            w.write(std::string("lists/package_info_") + stage + "_20260101-000000_id-" + n + ".list",
                    logText, 0644);
        }
        if (velk::order::StoragePruner(limits, w.db).prune() < 0) {
            std::fprintf(stderr, "prune failed at order %d\n", i);
            return 1;
        }
        if (i == 200 || i == orders) {
            long dbBytes = 0;
            long fileBytes = 0;
            long files = 0;
            diskUse(w, dbBytes, fileBytes, files);
            std::printf("{\"orders\":%d,\"db_bytes\":%ld,\"file_bytes\":%ld,\"files\":%ld}\n", i, dbBytes,
                        fileBytes, files);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--simulate-orders") {
        return simulate(std::stoi(argv[2]));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
