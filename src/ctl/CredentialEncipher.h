#pragma once

#include <string>

namespace velk::ctl {

// Inverse of the agent's credential cipher: the text that the agent's decode turns back into
// the plain text, for the "api_u1" and "api_u2" settings.
class CredentialEncipher {
  public:
    CredentialEncipher() = default;
    virtual ~CredentialEncipher() = default;

    // False for an empty text, or when some character cannot come out of the agent's decode at
    // its position.
    bool encipher(const std::string& plain, std::string& enciphered) const;
};

}  // namespace velk::ctl
