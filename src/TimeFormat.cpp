#include "TimeFormat.h"

#include <ctime>

namespace velk {

std::string formatLocalTime(int64_t seconds, const char* pattern) {
    time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) {
        return std::string();  // beyond a 32-bit time_t
    }
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) {
        return std::string();
    }
    char buffer[64];
    size_t n = strftime(buffer, sizeof(buffer), pattern, &local);
    return std::string(buffer, n);
}

int64_t nowSeconds() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

}  // namespace velk
