// Date reading of stored order times.
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/DbController.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velk::db::DbController::textToTime(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
