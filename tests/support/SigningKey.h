#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

namespace velk::test {

// A fresh Ed25519 key pair, as an operator would make with openssl.
class SigningKey {
  public:
    SigningKey();
    std::string publicPem() const;
    // Base64 of the signature of the text.
    std::string sign(const std::string& text) const;

  private:
    std::shared_ptr<EVP_PKEY> key;
};

}  // namespace velk::test
