// Signature, key, digest and version parsing: an order item, a key file's text and two versions,
// separated by NUL bytes. Versions must order both ways alike; nothing unsigned may pass.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "JsonParse.h"
#include "feature/DebianVersion.h"
#include "feature/PackageDigest.h"
#include "order/OrderSignature.h"
#include "support/SigningKey.h"
#include "support/TempDir.h"

namespace {

int sign(int value) { return (value > 0) - (value < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static velk::test::TempDir keys;
    static const bool ready = !keys.write("real.pem", velk::test::SigningKey().publicPem()).empty();
    (void)ready;
    std::vector<std::string> parts(4);
    size_t part = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && part < parts.size() - 1) {
            ++part;
        } else {
            parts[part] += static_cast<char>(data[i]);
        }
    }
    keys.write("fuzzed.pem", parts[1]);
    picojson::value item;
    if (velk::parseJson(item, parts[0]).empty() && item.is<picojson::object>()) {
        const std::map<std::string, std::string> installed{{"curl", parts[2]}};
        for (auto policy : {velk::order::SignaturePolicy::Verify, velk::order::SignaturePolicy::Required}) {
            const auto verdict = velk::order::OrderSignature(policy, keys.path(), "FUZZ")
                                     .check(item.get<picojson::object>(), &installed, 1);
            // No one can sign without a private key: an item passes only unsigned under "verify".
            const bool isSigned = item.get<picojson::object>().count("signature") != 0 &&
                                  !item.get<picojson::object>().at("signature").is<picojson::null>();
            if (verdict.accepted && (isSigned || policy == velk::order::SignaturePolicy::Required)) {
                std::abort();
            }
        }
    }
    if (sign(velk::feature::DebianVersion::compare(parts[2], parts[3])) !=
        -sign(velk::feature::DebianVersion::compare(parts[3], parts[2]))) {
        std::abort();
    }
    if (velk::feature::PackageDigest::isDigestText(parts[3]) && parts[3].size() != 64) {
        std::abort();
    }
    return 0;
}
