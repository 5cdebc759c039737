#include "ctl/ListVerifier.h"

#include <fstream>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "JsonMember.h"
#include "JsonParse.h"
#include "feature/PackageDigest.h"

namespace velk::ctl {

namespace {

using feature::PackageDigest;

int refuse(std::ostream& out, const std::string& reason) {
    out << "verify: refused : " << reason << "\n";
    return 1;
}

}  // namespace

ListVerifier::ListVerifier(order::SignaturePolicy policy, std::string keysDirectory,
                           std::string substrateCode)
    : signature(policy, std::move(keysDirectory), std::move(substrateCode)) {}

int ListVerifier::verify(const std::string& packageDir, const std::string& listFile,
                         std::ostream& out) const {
    std::ifstream list(listFile);
    if (!list) {
        out << "verify: cannot read the package list " << listFile << "\n";
        return 2;
    }
    std::vector<std::tuple<std::string, std::string, std::string>> lines;
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string name, version, url, rest;
        if (!(fields >> name >> version >> url) || (fields >> rest)) {
            return refuse(out, "unreadable line in the list : " + line);
        }
        lines.emplace_back(name, version, url);
    }

    std::ifstream orderFile(listFile + ".order");
    std::stringstream orderText;
    orderText << orderFile.rdbuf();
    picojson::value root;
    if (!orderFile || !parseJson(root, orderText.str()).empty() || !root.is<picojson::object>()) {
        if (signature.policy() == order::SignaturePolicy::Off) {
            out << "verify: no order beside the list : nothing to check\n";
            return 0;
        }
        return refuse(out, "no order beside the list");
    }
    const auto& item = root.get<picojson::object>();
    const order::OrderVerdict verdict = signature.check(item, nullptr, 0);
    if (!verdict.accepted) {
        return refuse(out, verdict.reason);
    }
    if (!verdict.keyFile.empty()) {
        out << "verify: signature verified : key " << verdict.keyFile << "\n";
    }

    auto packages = item.find("pkg_update");
    const picojson::array none;
    const auto& ordered = packages != item.end() && packages->second.is<picojson::array>()
                              ? packages->second.get<picojson::array>()
                              : none;
    for (const auto& [name, version, url] : lines) {
        const picojson::object* match = nullptr;
        for (const auto& package : ordered) {
            if (package.is<picojson::object>()) {
                const auto& fields = package.get<picojson::object>();
                if (textMember(fields, "pkg_name") == name && textMember(fields, "pkg_version") == version &&
                    textMember(fields, "pkg_url") == url) {
                    match = &fields;
                    break;
                }
            }
        }
        if (match == nullptr) {
            return refuse(out, name + " " + version + " is not in the order");
        }
        const std::string expected = PackageDigest::lowerCase(textMember(*match, "pkg_sha256"));
        if (expected.empty()) {
            out << "verify: " << name << " " << version << " : no digest in the order\n";
            continue;
        }
        if (PackageDigest::ofFile(packageDir + "/" + PackageDigest::debFileName(name, version)) != expected) {
            return refuse(out, "digest mismatch : " + name + " " + version);
        }
        out << "verify: " << name << " " << version << " : sha256 ok\n";
    }
    out << "verify: ok\n";
    return 0;
}

}  // namespace velk::ctl
