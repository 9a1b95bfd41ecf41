#include "crypto/hex.h"

#include <gtest/gtest.h>

#include <set>

namespace quorvane {
namespace {

std::string bytesOf(const std::optional<SecretBytes>& bytes) {
    return bytes ? dataHex(bytes->span()) : "<nothing>";
}

TEST(HexDataTest, AcceptsExactlyThePairFormsOfASignedBase16Parse) {
    struct Case {
        const char* text;
        const char* expected;  // dataHex of the result, or "<nothing>"
    };
    const Case cases[] = {
        {"", ""},
        {"00ff7A", "00ff7a"},
        {"DEADBEEF", "deadbeef"},
        {"+f", "0f"},
        {"+0", "00"},
        {"-0", "00"},
        {"-1", "<nothing>"},
        {"abc", "<nothing>"},
        {"0x", "<nothing>"},
        {"++", "<nothing>"},
        {"1+", "<nothing>"},
        {"0g", "<nothing>"},
        {"0 ", "<nothing>"},
        {"00 11", "<nothing>"},
        {"a\xc3\xa9", "<nothing>"},  // "a" followed by a two-byte character
        {"\xc3\xa9", "<nothing>"},
        {"00\r\n", "<nothing>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bytesOf(hexData(c.text)), c.expected) << "text: " << c.text;
    }
    // Pairs are read independently, so a sign may open any pair.
    EXPECT_EQ(bytesOf(hexData("-00f+a")), "000f0a");
}

TEST(HexDataTest, DataHexWritesLowercasePairs) {
    const std::uint8_t bytes[] = {0x00, 0x0a, 0xff};
    EXPECT_EQ(dataHex(bytes), "000aff");
    EXPECT_EQ(dataHex({}), "");
}

TEST(HexDataTest, ConcatJoinsWithNothingBetween) {
    const std::uint8_t a[] = {1, 2};
    const std::uint8_t b[] = {3};
    EXPECT_EQ(concat({}).size(), 0u);
    EXPECT_EQ(dataHex(concat({a, {}, b}).span()), "010203");
}

TEST(RandomHexTest, DrawsLowercaseHexOverTheWholeByteRange) {
    EXPECT_EQ(randomHex(0), "");
    std::set<std::string> pairs;
    for (int i = 0; i < 2000; ++i) {
        std::string text = randomHex(16);
        ASSERT_EQ(text.size(), 32u);
        ASSERT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
        for (std::size_t j = 0; j < text.size(); j += 2) pairs.insert(text.substr(j, 2));
    }
    // 32,000 draws make a missing byte value (0xff included) practically impossible.
    EXPECT_EQ(pairs.size(), 256u);
}

}  // namespace
}  // namespace quorvane
