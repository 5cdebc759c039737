#include "ctl/CredentialEncipher.h"

#include "feature/SimpleCipher.h"

namespace velk::ctl {

bool CredentialEncipher::encipher(const std::string& plain, std::string& enciphered) const {
    enciphered.clear();
    if (plain.empty()) {
        return false;  // the service takes no empty user name or password
    }
    // Each position is solved alone by trying every printable character, those inside the
    // cipher's range first (their results never fall outside it).
    const feature::SimpleCipher cipher;
    for (size_t i = 0; i < plain.size(); ++i) {
        bool found = false;
        for (int step = 0; step < 95 && !found; ++step) {
            const int candidate = ',' + step <= '~' ? ',' + step : ' ' + (step - ('~' - ',' + 1));
            if (cipher.decodeAt(static_cast<char>(candidate), i) == plain[i]) {
                enciphered.push_back(static_cast<char>(candidate));
                found = true;
            }
        }
        if (!found) {
            enciphered.clear();
            return false;
        }
    }
    return true;
}

}  // namespace velk::ctl
