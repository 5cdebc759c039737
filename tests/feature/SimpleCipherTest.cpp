#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "feature/SimpleCipher.h"

using velk::feature::SimpleCipher;

namespace {

// The key is the shift of position 0: decoding ',' (the lower bound) there and subtracting
// gives it without restating the constant.
int keyOf(const SimpleCipher& cipher) { return static_cast<unsigned char>(cipher.decode(",")[0]) - ','; }

struct WrapCase {
    const char* name;
    int shiftedValue;  // value after the positional shift, before wrapping
    int expected;
};

void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.name; }

class SimpleCipherWrap : public ::testing::TestWithParam<WrapCase> {};

}  // namespace

TEST(SimpleCipher, BuiltInCredentialsAndEmptyText) {
    const SimpleCipher cipher;
    EXPECT_EQ(cipher.decode("api"), "dtn");
    EXPECT_EQ(cipher.decode("Fk2_pZr7-Wd9Lm4Q"), "Io7ewb{A8cqG[}Ec");
    EXPECT_EQ(cipher.decode(""), "");
}

// Each case puts one character at position 0 so that, after the key's shift, it lands on the
// value named; the wrap distance is 82, not the range's 83 characters.
TEST_P(SimpleCipherWrap, WrapsOnceByEightyTwo) {
    const SimpleCipher cipher;
    const int key = keyOf(cipher);
    const auto& c = GetParam();
    const std::string in(1,
                         static_cast<char>(static_cast<unsigned char>((c.shiftedValue - key + 256) % 256)));
    const std::string out = cipher.decode(in);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, SimpleCipherWrap,
    ::testing::Values(WrapCase{"UpperBoundStays", 126, 126}, WrapCase{"OnePastUpperIsLowerPlusOne", 127, 45},
                      WrapCase{"TwoPastUpper", 128, 46}, WrapCase{"LowerBoundStays", 44, 44},
                      WrapCase{"OneBelowLowerIsUpperMinusOne", 43, 125},
                      // 208 - 82 = 126: the first wrap lands inside, so there is no second
                      WrapCase{"HighWrapLandsOnUpper", 208, 126},
                      // 209 - 82 = 127 is still outside and stays so
                      WrapCase{"StillAboveAfterOneWrap", 209, 127},
                      WrapCase{"TopByteStaysAboveRange", 255, 173},
                      // 0 + 82 = 82: a sum that wrapped past 255 comes back into range
                      WrapCase{"ZeroWrapsUp", 0, 82}),
    [](const ::testing::TestParamInfo<WrapCase>& p) { return std::string(p.param.name); });

TEST(SimpleCipher, ShiftIsKeyPlusPositionModulo256) {
    const SimpleCipher cipher;
    const int key = keyOf(cipher);
    // A character at position i shifted onto 80 (mid-range, no wrap) reads 80, for every i
    // up to and past 256 where the positional shift itself wraps.
    for (size_t i : {size_t{0}, size_t{1}, size_t{81}, size_t{255}, size_t{256}, size_t{300}}) {
        std::string in(i + 1, ',');
        in[i] =
            static_cast<char>(static_cast<unsigned char>((80 - key - static_cast<int>(i % 256) + 512) % 256));
        const std::string out = cipher.decode(in);
        ASSERT_EQ(out.size(), in.size());
        EXPECT_EQ(static_cast<unsigned char>(out[i]), 80) << "position " << i;
    }
}
