#include "RetryAfter.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace velk::comm {

namespace {
// A service asking for more than a year is not taken at its word; callers cap it further.
constexpr int64_t kLongest = 366LL * 24 * 3600;

bool parseDate(const std::string& text, int64_t& epoch) {
    for (const char* format :
         {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
        std::tm parts{};
        const char* end = strptime(text.c_str(), format, &parts);
        if (end != nullptr && *end == '\0') {
            epoch = static_cast<int64_t>(timegm(&parts));
            return true;
        }
    }
    return false;
}
}  // namespace

bool RetryAfter::parse(const std::string& value, int64_t now, int64_t& seconds) {
    const auto first = value.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return false;
    }
    const std::string text = value.substr(first, value.find_last_not_of(" \t") + 1 - first);
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        const std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
        seconds = digits.size() > 9 ? kLongest
                                    : std::min<int64_t>(digits.empty() ? 0 : std::stoll(digits), kLongest);
        return true;
    }
    int64_t at = 0;
    if (!parseDate(text, at)) {
        return false;
    }
    seconds = std::clamp<int64_t>(at - now, 0, kLongest);
    return true;
}

}  // namespace velk::comm
