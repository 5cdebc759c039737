#pragma once

#include <openssl/types.h>
#include <picojson.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velk::order {

// Which "sw_update" items the agent takes: "off" checks no signature; "verify" refuses an item
// whose signature fails and takes an unsigned one; "required" refuses every item that is not
// signed by a trusted key, cancels included, and every package without a digest.
enum class SignaturePolicy { Off, Verify, Required };

struct OrderVerdict {
    bool accepted = true;
    // Why an item is refused: "unsigned", "bad signature", "no trusted key", "other device",
    // "expired", "package without digest", "downgrade NAME OLD -> NEW".
    std::string reason;
    // The key file whose key verified the signature; empty for an unsigned item.
    std::string keyFile;
};

// Checks the Ed25519 signature of an order item against the public keys (PEM files ending in
// ".pem") of a folder that only root can write; any of them may sign. The keys are read on
// every check, so adding or removing a file rotates them without a restart.
class OrderSignature {
  public:
    static constexpr const char* kVersionLine = "velk-order-v1";

    // False for a text that names no policy.
    static bool parsePolicy(const std::string& text, SignaturePolicy& policy);

    OrderSignature(SignaturePolicy policy, std::string keysDirectory, std::string substrateCode);

    // The exact text that is signed, for the device line `device` (a substrate code or "*").
    static std::string signedText(const picojson::object& item, const std::string& device);

    // `installed` (package name to installed version) enables the downgrade check; `now` above 0
    // the expiry check.
    OrderVerdict check(const picojson::object& item, const std::map<std::string, std::string>* installed,
                       int64_t now) const;

    SignaturePolicy policy() const { return mode; }

  private:
    // Trusted keys by file name, each read and parsed once per check.
    std::vector<std::pair<std::string, std::shared_ptr<EVP_PKEY>>> _trustedKeys() const;

    SignaturePolicy mode;
    std::string keysDir;
    std::string substrate;
};

}  // namespace velk::order
