#pragma once

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "support/TempDir.h"

namespace velk::test {

// The process-wide settings (from an empty configuration in a private folder, removed at exit)
// and a "velk" logger that drops every line, so runs measure the code, not the log.
inline const TempDir& quietAgent() {
    static TempDir dir;
    static bool ready = false;
    if (!ready) {
        ready = true;
        static std::streambuf* const kept = std::cerr.rdbuf(nullptr);  // loader complaints
        (void)kept;
        data::SettingData::createInstance(dir.write("velk.conf", "{}"), "echo FUZZ");
        spdlog::register_logger(
            std::make_shared<spdlog::logger>("velk", std::make_shared<spdlog::sinks::null_sink_mt>()));
        data::LogWrapper::createInstance()->setLogger("velk");
    }
    return dir;
}

}  // namespace velk::test
