#pragma once

#include <string>

namespace velk::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction
// unless VELK_KEEP_TEST_DIRS=1 asks to keep it (its path then goes to stderr).
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }
    // Writes a file under the directory; mode applies when non-zero (e.g. 0755 for scripts).
    std::string write(const std::string& name, const std::string& content, unsigned mode = 0) const;

  private:
    std::string dir;
    bool keep = false;
};

std::string readFile(const std::string& path);
bool exists(const std::string& path);

}  // namespace velk::test
