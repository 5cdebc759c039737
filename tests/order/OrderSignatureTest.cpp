#include <gtest/gtest.h>
#include <picojson.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TimeFormat.h"
#include "order/OrderSignature.h"
#include "support/SigningKey.h"
#include "support/TempDir.h"

using velk::order::OrderSignature;
using velk::order::SignaturePolicy;
using velk::test::SigningKey;
using velk::test::TempDir;

namespace {

using Edit = std::function<void(picojson::object&)>;

const std::string kDigest(64, 'a');

picojson::object baseItem() {
    picojson::value item;
    picojson::parse(
        item, R"({"item":"sw_update","mode":"new","sw_upd_no":7,)"
              R"("download_start_date":"2030/01/01 00:00:00","install_start_date":"2030-01-02 00:00:00",)"
              R"("pkg_update":[{"pkg_name":"curl","pkg_version":"7.88.1-10",)"
              R"("pkg_url":"https://s/curl.deb","pkg_sha256":")" +
                  kDigest + R"("}]})");
    return item.get<picojson::object>();
}

void set(picojson::object& item, const char* key, const std::string& value) {
    item[key] = picojson::value(value);
}
void package(picojson::object& item, const char* key, const std::string& value) {
    item["pkg_update"].get<picojson::array>()[0].get<picojson::object>()[key] = picojson::value(value);
}

struct Case {
    const char* what;
    SignaturePolicy policy;
    std::vector<const char*> trusted;  // key files in the folder: "a", "b"
    const char* signer;                // "a", "b", or nullptr for an unsigned item
    const char* device;                // the device line signed
    Edit before;                       // fields set before signing
    Edit after;                        // what happens to the signed item on its way
    std::string reason;                // empty: accepted
};

const Edit kNone = [](picojson::object&) {};

}  // namespace

TEST(OrderSignature, OnlyWhatATrustedKeySignedForThisDeviceIsTaken) {
    const std::string past = velk::formatLocalTime(velk::nowSeconds() - 60, "%Y/%m/%d %H:%M:%S");
    const std::string future = velk::formatLocalTime(velk::nowSeconds() + 3600, "%Y/%m/%d %H:%M:%S");
    const auto R = SignaturePolicy::Required;
    const Case cases[] = {
        {"signed by a trusted key", R, {"a"}, "a", "SUB-9", kNone, kNone, ""},
        {"tampered URL",
         R,
         {"a"},
         "a",
         "SUB-9",
         kNone,
         [](auto& i) { package(i, "pkg_url", "https://x/c.deb"); },
         "bad signature"},
        {"tampered digest",
         R,
         {"a"},
         "a",
         "SUB-9",
         kNone,
         [](auto& i) { package(i, "pkg_sha256", std::string(64, 'b')); },
         "bad signature"},
        {"tampered install time",
         R,
         {"a"},
         "a",
         "SUB-9",
         kNone,
         [](auto& i) { set(i, "install_start_date", "2030-01-01 00:00:00"); },
         "bad signature"},
        {"signature cut short",
         R,
         {"a"},
         "a",
         "SUB-9",
         kNone,
         [](auto& i) { set(i, "signature", i["signature"].to_str().substr(4)); },
         "bad signature"},
        {"signature not a text",
         R,
         {"a"},
         "a",
         "SUB-9",
         kNone,
         [](auto& i) { i["signature"] = picojson::value(1.0); },
         "bad signature"},
        {"unknown key", R, {"a"}, "b", "SUB-9", kNone, kNone, "bad signature"},
        {"no key in the folder", R, {}, "a", "SUB-9", kNone, kNone, "no trusted key"},
        {"rotated: the new key signs", R, {"a", "b"}, "b", "SUB-9", kNone, kNone, ""},
        {"rotated: the old key removed", R, {"b"}, "a", "SUB-9", kNone, kNone, "bad signature"},
        {"another device's code", R, {"a"}, "a", "SUB-1", kNone, kNone, "bad signature"},
        {"another device named",
         R,
         {"a"},
         "a",
         "SUB-1",
         [](auto& i) { set(i, "substratecode", "SUB-1"); },
         kNone,
         "other device"},
        {"expired", R, {"a"}, "a", "SUB-9", [&](auto& i) { set(i, "expires", past); }, kNone, "expired"},
        {"not expired yet", R, {"a"}, "a", "SUB-9", [&](auto& i) { set(i, "expires", future); }, kNone, ""},
        {"unreadable expiry",
         R,
         {"a"},
         "a",
         "SUB-9",
         [](auto& i) { set(i, "expires", "soon"); },
         kNone,
         "expired"},
        {"unsigned under required", R, {"a"}, nullptr, "", kNone, kNone, "unsigned"},
        {"unsigned cancel under required",
         R,
         {"a"},
         nullptr,
         "",
         [](auto& i) { set(i, "mode", "cancel"); },
         kNone,
         "unsigned"},
        {"unsigned under verify", SignaturePolicy::Verify, {"a"}, nullptr, "", kNone, kNone, ""},
        {"bad signature under verify",
         SignaturePolicy::Verify,
         {"a"},
         "b",
         "SUB-9",
         kNone,
         kNone,
         "bad signature"},
        {"bad signature under off", SignaturePolicy::Off, {"a"}, "b", "SUB-9", kNone, kNone, ""},
        {"replayed lower version",
         R,
         {"a"},
         "a",
         "SUB-9",
         [](auto& i) { package(i, "pkg_version", "7.74.0-1"); },
         kNone,
         "downgrade curl 7.88.1-10 -> 7.74.0-1"},
        {"lower version allowed by the signer",
         R,
         {"a"},
         "a",
         "SUB-9",
         [](auto& i) {
             package(i, "pkg_version", "7.74.0-1");
             set(i, "allow_downgrade", "1");
         },
         kNone,
         ""},
        {"allowance added on the way",
         R,
         {"a"},
         "a",
         "SUB-9",
         [](auto& i) { package(i, "pkg_version", "7.74.0-1"); },
         [](auto& i) { set(i, "allow_downgrade", "1"); },
         "bad signature"},
        {"package without digest",
         R,
         {"a"},
         "a",
         "SUB-9",
         [](auto& i) { package(i, "pkg_sha256", ""); },
         kNone,
         "package without digest"},
    };
    const std::map<std::string, SigningKey> keys{{"a", SigningKey()}, {"b", SigningKey()}};
    const std::map<std::string, std::string> installed{{"curl", "7.88.1-10"}};
    for (const Case& c : cases) {
        TempDir folder;
        for (const char* name : c.trusted) {
            folder.write(std::string(name) + ".pem", keys.at(name).publicPem());
        }
        folder.write("notes.txt", "not a key");
        picojson::object item = baseItem();
        c.before(item);
        if (c.signer != nullptr) {
            set(item, "signature", keys.at(c.signer).sign(OrderSignature::signedText(item, c.device)));
        }
        c.after(item);
        const auto verdict =
            OrderSignature(c.policy, folder.path(), "SUB-9").check(item, &installed, velk::nowSeconds());
        EXPECT_EQ(verdict.accepted, c.reason.empty()) << c.what;
        EXPECT_EQ(verdict.reason, c.reason) << c.what;
        if (verdict.accepted && c.signer != nullptr && c.policy != SignaturePolicy::Off) {
            EXPECT_EQ(verdict.keyFile, std::string(c.signer) + ".pem") << c.what;
        }
    }
}

TEST(OrderSignature, SignedTextIsTheDocumentedLines) {
    picojson::object item = baseItem();
    set(item, "expires", "2031/01/01 00:00:00");
    item["allow_downgrade"] = picojson::value(1.0);  // not a text: not as sent
    EXPECT_EQ(
        OrderSignature::signedText(item, "*"),
        "velk-order-v1\n*\nnew\n7\n2030/01/01 00:00:00\n\n2030-01-02 00:00:00\n\n2031/01/01 00:00:00\n\n"
        "curl 7.88.1-10 https://s/curl.deb " +
            kDigest + "\n");
}
