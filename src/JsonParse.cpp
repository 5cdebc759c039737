#include "JsonParse.h"

#include <exception>

namespace velk {

namespace {

// Counts brackets outside strings only; picojson itself rejects text that is not JSON.
bool nestsTooDeep(const std::string& text) {
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::string parseJson(picojson::value& out, const std::string& text) {
    if (nestsTooDeep(text)) {
        return "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    }
    try {
        return picojson::parse(out, text);
    } catch (const std::exception& e) {
        // picojson throws std::overflow_error for a number a double cannot hold.
        return std::string("unreadable value: ") + e.what();
    }
}

}  // namespace velk
