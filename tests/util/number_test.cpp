#include "util/number.h"

#include <gtest/gtest.h>

#include <limits>

TEST(TextToNumber, KeepsOnlySignPointAndDigits) {
    EXPECT_EQ(TextToNumber("8080"), 8080);
    EXPECT_EQ(TextToNumber("8,080"), 8080);
    EXPECT_EQ(TextToNumber("port 80"), 80);
    EXPECT_EQ(TextToNumber(" \\8 0\t"), 80);
    EXPECT_EQ(TextToNumber("1.5"), 1.5);
    EXPECT_EQ(TextToNumber("80.9"), 80.9);
    EXPECT_EQ(TextToNumber("0"), 0);
    EXPECT_EQ(TextToNumber("65536"), 65536);
    EXPECT_EQ(TextToNumber("-1"), -1);
}

TEST(TextToNumber, TrailingMinusMovesToTheFront) {
    EXPECT_EQ(TextToNumber("80-"), -80);
    EXPECT_EQ(TextToNumber("1.5 -"), -1.5);
}

TEST(TextToNumber, UnusableTextGivesZero) {
    EXPECT_EQ(TextToNumber(""), 0);
    EXPECT_EQ(TextToNumber("abc"), 0);
    EXPECT_EQ(TextToNumber("-"), 0);
    EXPECT_EQ(TextToNumber("."), 0);
    EXPECT_EQ(TextToNumber("1-2"), 0);
    EXPECT_EQ(TextToNumber("1.2.3"), 0);
    EXPECT_EQ(TextToNumber("--5"), 0);
    EXPECT_EQ(TextToNumber("-5-"), 0);   // becomes "--5"
    EXPECT_EQ(TextToNumber("８０"), 0);  // full-width digits are not digits here
}

TEST(TextToNumber, NeverFailsOnHugeOrOddInput) {
    EXPECT_EQ(TextToNumber(std::string(400, '9')), 0);  // beyond double's range: no usable number
    EXPECT_EQ(TextToNumber(std::string(10000, '-')), 0);
    const std::string binary("\x00\xff\x80\x31", 4);
    EXPECT_EQ(TextToNumber(binary), 1);
}

TEST(ParseSignedDigits, DigitsWithASignOnlyAndTheirLimitBeyondRange) {
    EXPECT_EQ(ParseSignedDigits("65535"), 65535);
    EXPECT_EQ(ParseSignedDigits("-1"), -1);
    EXPECT_EQ(ParseSignedDigits("+0"), 0);
    EXPECT_EQ(ParseSignedDigits("4294967296"), 4294967296LL);
    EXPECT_EQ(ParseSignedDigits("99999999999999999999999"), std::numeric_limits<long long>::max());
    EXPECT_EQ(ParseSignedDigits("-99999999999999999999999"), -std::numeric_limits<long long>::max());
    for (const char* bad : {"", "-", " 80", "80 ", "8 0", "abc", "1.5", "0x10"})
        EXPECT_EQ(ParseSignedDigits(bad), std::nullopt) << bad;
}

TEST(ParseDecimalInteger, SignedDecimalWithinThirtyTwoBits) {
    EXPECT_EQ(ParseDecimalInteger("0"), 0);
    EXPECT_EQ(ParseDecimalInteger("65535"), 65535);
    EXPECT_EQ(ParseDecimalInteger("-1"), -1);
    EXPECT_EQ(ParseDecimalInteger("+7"), 7);
    EXPECT_EQ(ParseDecimalInteger("  12"), 12);
    EXPECT_EQ(ParseDecimalInteger("2147483647"), 2147483647LL);
    EXPECT_EQ(ParseDecimalInteger("-2147483648"), -2147483648LL);
    for (const char* bad : {"", " ", "-", "abc", "12 ", "1.5", "0x10", "2147483648", "99999999999999999999", "1e3"})
        EXPECT_EQ(ParseDecimalInteger(bad), std::nullopt) << bad;
}
