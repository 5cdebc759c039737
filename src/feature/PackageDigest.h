#pragma once

#include <string>

namespace velk::feature {

// SHA-256 digests of downloaded packages, as the service gives them in "pkg_sha256".
class PackageDigest {
  public:
    // 64 hexadecimal digits, either case.
    static bool isDigestText(const std::string& text);
    static std::string lowerCase(const std::string& text);
    // Hex digest of the file's bytes, read through `fd` or opened from `path`; empty when it
    // cannot be read.
    static std::string ofFile(const std::string& path);
    static std::string ofDescriptor(int fd);
    // The name the package scripts give a package file: NAME_VERSION.deb, an epoch's ':' as "%3a".
    static std::string debFileName(const std::string& name, const std::string& version);
};

}  // namespace velk::feature
