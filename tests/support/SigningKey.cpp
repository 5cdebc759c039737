#include "support/SigningKey.h"

#include <openssl/pem.h>

#include <stdexcept>
#include <vector>

namespace velk::test {

SigningKey::SigningKey() : key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
    if (!key) {
        throw std::runtime_error("no Ed25519 key");
    }
}

std::string SigningKey::publicPem() const {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PUBKEY(bio.get(), key.get());
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string SigningKey::sign(const std::string& text) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size()) != 1) {
        throw std::runtime_error("cannot sign");
    }
    std::vector<unsigned char> encoded(4 * ((length + 2) / 3) + 1);
    EVP_EncodeBlock(encoded.data(), signature, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded.data()));
}

}  // namespace velk::test
