#pragma once

#include <cstddef>
#include <string>

namespace velk::feature {

// Deciphers the API credentials kept in the configuration file: a position-dependent shift
// within the printable range ',' to '~'. Obfuscation only, not cryptography; the agent never
// enciphers. Stateless after construction, so any thread may use its own instance.
class SimpleCipher {
  public:
    SimpleCipher();
    virtual ~SimpleCipher() = default;

    // Same length as the input; characters outside the range after one wrap stay as they are.
    std::string decode(const std::string& enciphered) const;
    // The plain character of one enciphered character at that position: it depends on nothing else.
    char decodeAt(char enciphered, size_t position) const;

  private:
    int key;
    int lowerBound;
    int upperBound;
};

}  // namespace velk::feature
