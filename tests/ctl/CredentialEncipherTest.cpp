#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ctl/CredentialEncipher.h"
#include "feature/SimpleCipher.h"

// What velkctl prints must be what the agent's decode turns back into the typed text, at every
// position (the shift grows with it and wraps past the range's ends); a character the decode can
// never yield (below ',') is refused rather than enciphered into something else, and so is an
// empty text.
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
    } cases[] = {{"", false},       {"dtn", true},        {"Io7ewb{A8cqG[}Ec", true},
                 {long_text, true}, {"pass word", false}, {"a+b", false}};
    for (const auto& c : cases) {
        std::string enciphered;
        ASSERT_EQ(encipher.encipher(c.plain, enciphered), c.possible) << c.plain;
        if (c.possible) {
            EXPECT_EQ(cipher.decode(enciphered), c.plain);
        }
    }
}

// Each position is solved on its own: a long text takes linear time, not minutes.
TEST(CredentialEncipher, LongTextInLinearTime) {
    std::string plain;
    for (size_t i = 0; i < 20000; ++i) {
        plain.push_back(static_cast<char>('a' + i % 26));
    }
    std::string enciphered;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(velk::ctl::CredentialEncipher().encipher(plain, enciphered));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2000);
    EXPECT_EQ(velk::feature::SimpleCipher().decode(enciphered), plain);
}
