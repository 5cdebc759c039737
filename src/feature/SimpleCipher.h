#pragma once

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

  private:
    int key;
    int lowerBound;
    int upperBound;
};

}  // namespace velk::feature
