// The configuration loader on arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = velk::test::quietAgent().file("fuzzed.conf");
    static const auto settings = std::make_unique<velk::data::SettingData>(path, "echo FUZZ");
    velk::test::quietAgent().write("fuzzed.conf", std::string(reinterpret_cast<const char*>(data), size));
    settings->loadSettingFile();
    settings->getList("header");
    settings->getString("order_check");
    return 0;
}
