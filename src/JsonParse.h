#pragma once

#include <picojson.h>

#include <cstddef>
#include <string>

namespace velk {

// Deepest nesting of arrays and objects accepted; real answers and settings use a handful.
constexpr size_t kMaxJsonDepth = 200;

// picojson::parse for text from outside the process: text nested deeper than kMaxJsonDepth is
// refused before parsing (picojson recurses per level), and a number beyond a double's range
// is a parse error instead of an exception. Returns the error text, empty on success.
std::string parseJson(picojson::value& out, const std::string& text);

}  // namespace velk
