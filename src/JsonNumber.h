#pragma once

#include <picojson.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace velk {

// A JSON number as a 32-bit integer: truncated toward zero, limited to the 32-bit range.
inline int32_t jsonToInt32(const picojson::value& value) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    if (value.is<int64_t>()) {
        int64_t n = value.get<int64_t>();
        return n > kMax ? kMax : (n < kMin ? kMin : static_cast<int32_t>(n));
    }
    double d = std::trunc(value.get<double>());
    if (d >= static_cast<double>(kMax)) {
        return kMax;
    }
    if (d <= static_cast<double>(kMin)) {
        return kMin;
    }
    return static_cast<int32_t>(d);
}

}  // namespace velk
