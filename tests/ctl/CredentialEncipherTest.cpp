#include <gtest/gtest.h>

#include <string>

#include "ctl/CredentialEncipher.h"
#include "feature/SimpleCipher.h"

// What velkctl prints must be what the agent's decode turns back into the typed text, at every
// position (the shift grows with it and wraps past the range's ends); a character the decode can
// never yield (below ',') is refused rather than enciphered into something else.
TEST(CredentialEncipher, AgentDecodesWhatItEnciphers) {
    const velk::ctl::CredentialEncipher encipher;
    const velk::feature::SimpleCipher cipher;
    const std::string chars = "abcXYZ019_-.@{}[]~";
    std::string long_text;
    for (size_t i = 0; i < 90; ++i) {
        long_text.push_back(chars[i % chars.size()]);
    }
    const struct {
        std::string plain;
        bool possible;
    } cases[] = {{"", true},        {"dtn", true},        {"Io7ewb{A8cqG[}Ec", true},
                 {long_text, true}, {"pass word", false}, {"a+b", false}};
    for (const auto& c : cases) {
        std::string enciphered;
        ASSERT_EQ(encipher.encipher(c.plain, enciphered), c.possible) << c.plain;
        if (c.possible) {
            EXPECT_EQ(cipher.decode(enciphered), c.plain);
        }
    }
}
