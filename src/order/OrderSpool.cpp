#include "order/OrderSpool.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "UniqueFd.h"

namespace velk::order {

namespace {

const std::string kPrefix = "order-spool-";
const std::string kSuffix = ".json";

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

OrderSpool::OrderSpool(std::string directory) : dir(std::move(directory)) {}

bool OrderSpool::mayHoldOrders(const std::string& answer) {
    return answer.find("sw_update") != std::string::npos || answer.find("\\u") != std::string::npos;
}

std::string OrderSpool::keep(const std::string& answer) {
    pending();
    // The sequence orders the answers; the clock keeps a name from ever being used twice, so
    // the marks of a removed answer can never match a new one.
    auto now = std::chrono::system_clock::now().time_since_epoch();
    char name[96];
    std::snprintf(
        name, sizeof(name), "%s%010llu-%llx%s", kPrefix.c_str(),
        static_cast<unsigned long long>(nextSequence),
        static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
        kSuffix.c_str());
    // Written under its final name: once write() returns, a killed process still leaves the whole
    // answer behind. A power cut before the sync may leave it torn; a torn answer fails to parse
    // and is dropped, as one that never arrived.
    std::string path = dir + "/" + name;
    {
        const UniqueFd file{::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
        if (file.get() < 0) {
            return std::string();
        }
        size_t done = 0;
        while (done < answer.size()) {
            ssize_t n = ::write(file.get(), answer.data() + done, answer.size() - done);
            if (n <= 0) {
                ::unlink(path.c_str());
                return std::string();
            }
            done += static_cast<size_t>(n);
        }
        if (::fsync(file.get()) != 0) {
            ::unlink(path.c_str());
            return std::string();
        }
    }
    if (!_syncDirectory()) {
        ::unlink(path.c_str());
        return std::string();
    }
    ++nextSequence;
    return name;
}

std::vector<std::string> OrderSpool::pending() {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> folder(opendir(dir.c_str()));
    if (!folder) {
        return names;
    }
    while (const dirent* entry = readdir(folder.get())) {
        std::string name = entry->d_name;
        if (name.compare(0, kPrefix.size(), kPrefix) != 0) {
            continue;
        }
        if (endsWith(name, kSuffix)) {
            names.push_back(name);
            unsigned long long sequence = std::strtoull(name.c_str() + kPrefix.size(), nullptr, 10);
            nextSequence = std::max<uint64_t>(nextSequence, sequence + 1);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool OrderSpool::read(const std::string& name, std::string& answer) const {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    answer = text.str();
    return !in.bad();
}

bool OrderSpool::remove(const std::string& name) {
    return ::unlink((dir + "/" + name).c_str()) == 0 && _syncDirectory();
}

bool OrderSpool::_syncDirectory() const {
    const UniqueFd folder{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return folder.get() >= 0 && ::fsync(folder.get()) == 0;
}

}  // namespace velk::order
