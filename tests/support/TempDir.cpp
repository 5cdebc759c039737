#include "support/TempDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace velk::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velk-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    dir = buffer.data();
    const char* keepSwitch = std::getenv("VELK_KEEP_TEST_DIRS");
    keep = keepSwitch != nullptr && std::string(keepSwitch) == "1";
    if (keep) {
        std::fprintf(stderr, "kept: %s\n", dir.c_str());
    }
}

TempDir::~TempDir() {
    if (keep) {
        return;
    }
    std::error_code ec;
    // Tests make files read-only; give write access back so removal cannot fail on them.
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) {
            chmod(it->path().c_str(), 0755);
        }
    }
    chmod(dir.c_str(), 0755);
    std::filesystem::remove_all(dir, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content, unsigned mode) const {
    std::string target = file(name);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (mode != 0) {
        chmod(target.c_str(), static_cast<mode_t>(mode));
    }
    return target;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace velk::test
