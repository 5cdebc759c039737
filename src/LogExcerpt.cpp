#include "LogExcerpt.h"

namespace velk {

std::string logExcerpt(const std::string& text) {
    if (text.size() <= kLogExcerptBytes) {
        return text;
    }
    return text.substr(0, kLogExcerptBytes) + "... (" + std::to_string(text.size()) + " bytes in all)";
}

}  // namespace velk
