#include "ctl/CredentialEncipher.h"

#include "feature/SimpleCipher.h"

namespace velk::ctl {

bool CredentialEncipher::encipher(const std::string& plain, std::string& enciphered) const {
    // The decode of one character depends only on it and its position, so each position is
    // solved alone by trying every printable character, those inside the cipher's range first
    // (their results never fall outside it).
    const feature::SimpleCipher cipher;
    enciphered.clear();
    std::string probe;
    for (size_t i = 0; i < plain.size(); ++i) {
        probe.assign(i, ' ');
        bool found = false;
        for (int step = 0; step < 95 && !found; ++step) {
            const int candidate = ',' + step <= '~' ? ',' + step : ' ' + (step - ('~' - ',' + 1));
            probe.push_back(static_cast<char>(candidate));
            if (cipher.decode(probe)[i] == plain[i]) {
                enciphered.push_back(static_cast<char>(candidate));
                found = true;
            }
            probe.pop_back();
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

}  // namespace velk::ctl
