#pragma once

#include <cstddef>
#include <string>

namespace velk {

// Longest part of a received or sent body that goes into one log line.
constexpr size_t kLogExcerptBytes = 4096;

// The text as it may be logged: whole when short, else its first kLogExcerptBytes bytes and
// its full length, so one hostile answer cannot blow up a log file.
std::string logExcerpt(const std::string& text);

}  // namespace velk
