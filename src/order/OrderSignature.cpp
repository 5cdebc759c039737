#include "order/OrderSignature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "JsonMember.h"
#include "JsonNumber.h"
#include "db/DbController.h"
#include "feature/DebianVersion.h"

namespace velk::order {

namespace fs = std::filesystem;

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

constexpr size_t kSignatureBytes = 64;
// A public key's PEM is a few lines; anything larger in the folder is not one.
constexpr std::uintmax_t kMaxKeyFileBytes = 16 * 1024;

// Strict base64 of exactly one Ed25519 signature.
bool decodeSignature(const std::string& text, std::vector<unsigned char>& bytes) {
    if (text.size() != 88 || text.compare(86, 2, "==") != 0) {
        return false;
    }
    bytes.assign(66, 0);
    int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length != 66) {
        return false;
    }
    bytes.resize(kSignatureBytes);
    return true;
}

bool verifiedBy(EVP_PKEY* key, const std::string& text, const std::vector<unsigned char>& signature) {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
}

// The Ed25519 public key a PEM text holds; none for anything else.
std::shared_ptr<EVP_PKEY> ed25519Key(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::shared_ptr<EVP_PKEY> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr,
                                  KeyFree());
    return key && EVP_PKEY_id(key.get()) == EVP_PKEY_ED25519 ? key : nullptr;
}

OrderVerdict refused(std::string reason) {
    OrderVerdict verdict;
    verdict.accepted = false;
    verdict.reason = std::move(reason);
    return verdict;
}

}  // namespace

bool OrderSignature::parsePolicy(const std::string& text, SignaturePolicy& policy) {
    const std::pair<const char*, SignaturePolicy> names[] = {{"off", SignaturePolicy::Off},
                                                             {"verify", SignaturePolicy::Verify},
                                                             {"required", SignaturePolicy::Required}};
    for (const auto& [name, value] : names) {
        if (text == name) {
            policy = value;
            return true;
        }
    }
    return false;
}

OrderSignature::OrderSignature(SignaturePolicy policy, std::string keysDirectory, std::string substrateCode)
    : mode(policy), keysDir(std::move(keysDirectory)), substrate(std::move(substrateCode)) {}

std::string OrderSignature::signedText(const picojson::object& item, const std::string& device) {
    const picojson::value* number = setMember(item, "sw_upd_no");
    const int32_t updNo = number != nullptr && number->is<double>() ? jsonToInt32(*number) : 0;
    std::string text = std::string(kVersionLine) + "\n" + device + "\n" + textMember(item, "mode") + "\n" +
                       std::to_string(updNo) + "\n";
    for (const char* key : {"download_start_date", "download_end_date", "install_start_date",
                            "install_end_date", "expires", "allow_downgrade"}) {
        text += textMember(item, key) + "\n";
    }
    const picojson::value* packages = setMember(item, "pkg_update");
    if (packages != nullptr && packages->is<picojson::array>()) {
        const picojson::object none;
        for (const auto& package : packages->get<picojson::array>()) {
            const auto& fields = package.is<picojson::object>() ? package.get<picojson::object>() : none;
            text += textMember(fields, "pkg_name") + " " + textMember(fields, "pkg_version") + " " +
                    textMember(fields, "pkg_url") + " " + textMember(fields, "pkg_sha256") + "\n";
        }
    }
    return text;
}

std::vector<std::pair<std::string, std::shared_ptr<EVP_PKEY>>> OrderSignature::_trustedKeys() const {
    std::vector<std::pair<std::string, std::shared_ptr<EVP_PKEY>>> keys;
    std::error_code error;
    if (keysDir.empty() || !fs::is_directory(keysDir, error)) {
        return keys;
    }
    for (fs::directory_iterator it(keysDir, error), end; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        std::error_code sizeError;
        if (path.extension() != ".pem" || !it->is_regular_file(sizeError) ||
            it->file_size(sizeError) > kMaxKeyFileBytes || sizeError) {
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        std::stringstream pem;
        pem << in.rdbuf();
        if (auto key = in ? ed25519Key(pem.str()) : nullptr) {
            keys.emplace_back(path.filename().string(), std::move(key));
        }
    }
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return keys;
}

OrderVerdict OrderSignature::check(const picojson::object& item,
                                   const std::map<std::string, std::string>* installed, int64_t now) const {
    OrderVerdict verdict;
    if (mode == SignaturePolicy::Off) {
        return verdict;
    }
    const picojson::value* signature = setMember(item, "signature");
    if (signature == nullptr) {
        return mode == SignaturePolicy::Required ? refused("unsigned") : verdict;
    }
    std::vector<std::string> devices{substrate, "*"};
    if (setMember(item, "substratecode") != nullptr) {
        const std::string named = textMember(item, "substratecode");
        if (named != substrate && named != "*") {
            return refused("other device");
        }
        devices = {named};
    }
    const auto keys = _trustedKeys();
    if (keys.empty()) {
        return refused("no trusted key");
    }
    std::vector<unsigned char> bytes;
    if (!signature->is<std::string>() || !decodeSignature(signature->get<std::string>(), bytes)) {
        return refused("bad signature");
    }
    for (const auto& device : devices) {
        const std::string text = signedText(item, device);
        for (const auto& [name, key] : keys) {
            if (verifiedBy(key.get(), text, bytes)) {
                verdict.keyFile = name;
                break;
            }
        }
        if (!verdict.keyFile.empty()) {
            break;
        }
    }
    if (verdict.keyFile.empty()) {
        return refused("bad signature");
    }

    const std::string expires = textMember(item, "expires");
    int64_t until = 0;
    if (now > 0 && !expires.empty() && (!db::DbController::readTime(expires, until) || now > until)) {
        return refused("expired");
    }
    if (textMember(item, "mode") == "cancel") {
        return verdict;
    }
    const picojson::value* packages = setMember(item, "pkg_update");
    if (packages == nullptr || !packages->is<picojson::array>()) {
        return verdict;
    }
    const bool downgradeAllowed = textMember(item, "allow_downgrade") == "1";
    const picojson::object none;
    for (const auto& package : packages->get<picojson::array>()) {
        const auto& fields = package.is<picojson::object>() ? package.get<picojson::object>() : none;
        if (mode == SignaturePolicy::Required && textMember(fields, "pkg_sha256").empty()) {
            return refused("package without digest");
        }
        if (downgradeAllowed || installed == nullptr) {
            continue;
        }
        const std::string name = textMember(fields, "pkg_name");
        const std::string version = textMember(fields, "pkg_version");
        auto found = installed->find(name);
        if (found != installed->end() && feature::DebianVersion::compare(version, found->second) < 0) {
            return refused("downgrade " + name + " " + found->second + " -> " + version);
        }
    }
    return verdict;
}

}  // namespace velk::order
