#include <gtest/gtest.h>
#include <picojson.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "ctl/ListVerifier.h"
#include "feature/PackageDigest.h"
#include "support/SigningKey.h"
#include "support/TempDir.h"

using velk::ctl::ListVerifier;
using velk::order::OrderSignature;
using velk::order::SignaturePolicy;

namespace {

struct Case {
    const char* what;
    SignaturePolicy policy;
    std::function<void(const velk::test::TempDir&)> meanwhile;  // after the order was signed and downloaded
    int status;
    std::string last;  // the last line written
};

}  // namespace

// The install step's check reads the files as they are when dpkg is about to read them.
TEST(ListVerifier, RefusesAnythingTheSignedOrderDoesNotName) {
    const velk::test::SigningKey key;
    const auto R = SignaturePolicy::Required;
    const Case cases[] = {
        {"as downloaded", R, [](const auto&) {}, 0, "verify: ok"},
        {"file changed after the download", R,
         [](const auto& d) { d.write("pkgs/curl_1%3a7.88.deb", "other bytes"); }, 1,
         "verify: refused : digest mismatch : curl 1:7.88"},
        {"list names another URL", R,
         [](const auto& d) { d.write("list", "curl 1:7.88 https://evil/c.deb\n"); }, 1,
         "verify: refused : curl 1:7.88 is not in the order"},
        {"list has a fourth field", R,
         [](const auto& d) { d.write("list", "curl 1:7.88 https://s/c.deb x\n"); }, 1,
         "verify: refused : unreadable line in the list : curl 1:7.88 https://s/c.deb x"},
        {"order's digest swapped for the new file's", R,
         [](const auto& d) {
             d.write("pkgs/curl_1%3a7.88.deb", "other bytes");
             std::string order = velk::test::readFile(d.file("list.order"));
             const std::string old = velk::feature::PackageDigest::ofFile(d.file("orig"));
             order.replace(order.find(old), old.size(),
                           velk::feature::PackageDigest::ofFile(d.file("pkgs/curl_1%3a7.88.deb")));
             d.write("list.order", order);
         },
         1, "verify: refused : bad signature"},
        {"no order beside the list", R, [](const auto& d) { std::remove(d.file("list.order").c_str()); }, 1,
         "verify: refused : no order beside the list"},
        {"no order beside the list, policy off", SignaturePolicy::Off,
         [](const auto& d) { std::remove(d.file("list.order").c_str()); }, 0,
         "verify: no order beside the list : nothing to check"},
    };
    for (const Case& c : cases) {
        velk::test::TempDir d;
        std::filesystem::create_directories(d.file("keys"));
        std::filesystem::create_directories(d.file("pkgs"));
        d.write("keys/k.pem", key.publicPem());
        d.write("orig", "package bytes");
        d.write("pkgs/curl_1%3a7.88.deb", "package bytes");
        picojson::value item;
        picojson::parse(
            item, R"({"mode":"new","sw_upd_no":3,"pkg_update":[{"pkg_name":"curl","pkg_version":"1:7.88",)"
                  R"("pkg_url":"https://s/c.deb","pkg_sha256":")" +
                      velk::feature::PackageDigest::ofFile(d.file("orig")) + R"("}]})");
        auto& fields = item.get<picojson::object>();
        fields["signature"] = picojson::value(key.sign(OrderSignature::signedText(fields, "SUB-9")));
        d.write("list.order", item.serialize());
        d.write("list", "# download package list\ncurl 1:7.88 https://s/c.deb\n");
        c.meanwhile(d);
        std::ostringstream out;
        EXPECT_EQ(ListVerifier(c.policy, d.file("keys"), "SUB-9").verify(d.file("pkgs"), d.file("list"), out),
                  c.status)
            << c.what << "\n"
            << out.str();
        const std::string text = out.str();
        EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), c.last + "\n") << c.what;
    }
}
