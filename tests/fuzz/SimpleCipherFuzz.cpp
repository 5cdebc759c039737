// Credential decoding: any stored text, and the result keeps its length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "feature/SimpleCipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const velk::feature::SimpleCipher cipher;
    if (cipher.decode(std::string(reinterpret_cast<const char*>(data), size)).size() != size) {
        std::abort();
    }
    return 0;
}
