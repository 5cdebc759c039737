#include <gtest/gtest.h>

#include "feature/DebianVersion.h"
#include "feature/PackageDigest.h"
#include "support/TempDir.h"

using velk::feature::DebianVersion;
using velk::feature::PackageDigest;

// Each pair in ascending order, as dpkg --compare-versions orders them.
TEST(DebianVersion, OrdersAsDpkgDoes) {
    const std::pair<const char*, const char*> ascending[] = {
        {"1.0", "1.0-1"},
        {"1.0~rc1", "1.0"},
        {"1.0~~", "1.0~"},
        {"1.9", "1.10"},
        {"1.0", "1.0a"},
        {"1.0a", "1.0+"},
        {"1:0.1", "2:0.0"},
        {"9.9", "1:0"},
        {"7.74.0-1", "7.88.1-10"},
        {"1.0-1", "1.0-1.1"},
        {"2.10-3", "2.10-3+deb12u1"},
        {"0.9", "00.10"},
    };
    for (const auto& [lower, higher] : ascending) {
        EXPECT_LT(DebianVersion::compare(lower, higher), 0) << lower << " < " << higher;
        EXPECT_GT(DebianVersion::compare(higher, lower), 0) << higher << " > " << lower;
    }
    EXPECT_EQ(DebianVersion::compare("0:1.0-01", "1.0-1"), 0);
}

TEST(PackageDigest, HashesFilesAndNamesThemAsTheScriptsDo) {
    velk::test::TempDir dir;
    EXPECT_EQ(PackageDigest::ofFile(dir.write("abc", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(PackageDigest::ofFile(dir.file("missing")), "");
    EXPECT_TRUE(PackageDigest::isDigestText(std::string(32, 'A') + std::string(32, 'f')));
    for (const std::string& bad :
         {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g", std::string()}) {
        EXPECT_FALSE(PackageDigest::isDigestText(bad)) << bad;
    }
    EXPECT_EQ(PackageDigest::debFileName("velk", "3:1.0-1"), "velk_3%3a1.0-1.deb");
}
