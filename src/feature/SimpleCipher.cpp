#include "feature/SimpleCipher.h"

#include <cstdint>

namespace velk::feature {

SimpleCipher::SimpleCipher() : key(3), lowerBound(44), upperBound(126) {}

std::string SimpleCipher::decode(const std::string& enciphered) const {
    std::string plain;
    plain.reserve(enciphered.size());
    for (size_t i = 0; i < enciphered.size(); ++i) {
        plain.push_back(decodeAt(enciphered[i], i));
    }
    return plain;
}

char SimpleCipher::decodeAt(char enciphered, size_t position) const {
    // Byte arithmetic wraps modulo 256 on purpose: stored values were made that way.
    uint8_t c = static_cast<uint8_t>(enciphered);
    c = static_cast<uint8_t>(c + static_cast<uint8_t>((static_cast<size_t>(key) + position) % 256));
    // The wrap distance is upper - lower (82), one short of the range's size; existing
    // enciphered values depend on it.
    if (c > upperBound) {
        c = static_cast<uint8_t>(c + lowerBound - upperBound);
    }
    if (c < lowerBound) {
        c = static_cast<uint8_t>(c + upperBound - lowerBound);
    }
    return static_cast<char>(c);
}

}  // namespace velk::feature
