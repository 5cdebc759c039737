#pragma once

#include <cstdint>
#include <string>

namespace velk {

// How the agent writes the times of its records (stage ends, status changes) into the database.
constexpr const char* kDbTimePattern = "%Y-%m-%d %H:%M:%S";

// Local time of a moment in seconds since the epoch, formatted with strftime;
// an empty text when the time cannot be converted or formatted.
std::string formatLocalTime(int64_t seconds, const char* pattern);

// The wall clock in whole seconds since the epoch.
int64_t nowSeconds();

}  // namespace velk
