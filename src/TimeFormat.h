#pragma once

#include <cstdint>
#include <string>

namespace velk {

// Local time of a moment in seconds since the epoch, formatted with strftime;
// an empty text when the time cannot be converted or formatted.
std::string formatLocalTime(int64_t seconds, const char* pattern);

// The wall clock in whole seconds since the epoch.
int64_t nowSeconds();

}  // namespace velk
