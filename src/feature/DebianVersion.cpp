#include "feature/DebianVersion.h"

#include <cctype>

namespace velk::feature {

namespace {

struct Parts {
    unsigned long epoch = 0;
    std::string upstream;
    std::string revision;
};

Parts split(const std::string& version) {
    Parts parts;
    std::string rest = version;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        std::string epoch = rest.substr(0, colon);
        for (char c : epoch) {
            parts.epoch =
                c >= '0' && c <= '9' && parts.epoch < 100000000 ? parts.epoch * 10 + (c - '0') : parts.epoch;
        }
        rest = rest.substr(colon + 1);
    }
    size_t dash = rest.rfind('-');
    if (dash != std::string::npos) {
        parts.revision = rest.substr(dash + 1);
        rest = rest.substr(0, dash);
    }
    parts.upstream = rest;
    return parts;
}

int order(char c) {
    if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
        return 0;
    }
    if (std::isalpha(static_cast<unsigned char>(c)) != 0) {
        return c;
    }
    if (c == '~') {
        return -1;
    }
    return c != '\0' ? c + 256 : 0;
}

int compareRuns(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() || j < b.size()) {
        int firstDiff = 0;
        while ((i < a.size() && !std::isdigit(static_cast<unsigned char>(a[i]))) ||
               (j < b.size() && !std::isdigit(static_cast<unsigned char>(b[j])))) {
            int ac = i < a.size() ? order(a[i]) : 0;
            int bc = j < b.size() ? order(b[j]) : 0;
            if (ac != bc) {
                return ac - bc;
            }
            ++i;
            ++j;
        }
        while (i < a.size() && a[i] == '0') {
            ++i;
        }
        while (j < b.size() && b[j] == '0') {
            ++j;
        }
        while (i < a.size() && j < b.size() && std::isdigit(static_cast<unsigned char>(a[i])) &&
               std::isdigit(static_cast<unsigned char>(b[j]))) {
            if (firstDiff == 0) {
                firstDiff = a[i] - b[j];
            }
            ++i;
            ++j;
        }
        if (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i]))) {
            return 1;
        }
        if (j < b.size() && std::isdigit(static_cast<unsigned char>(b[j]))) {
            return -1;
        }
        if (firstDiff != 0) {
            return firstDiff;
        }
    }
    return 0;
}

}  // namespace

int DebianVersion::compare(const std::string& a, const std::string& b) {
    Parts left = split(a);
    Parts right = split(b);
    if (left.epoch != right.epoch) {
        return left.epoch < right.epoch ? -1 : 1;
    }
    int result = compareRuns(left.upstream, right.upstream);
    return result != 0 ? result : compareRuns(left.revision, right.revision);
}

}  // namespace velk::feature
