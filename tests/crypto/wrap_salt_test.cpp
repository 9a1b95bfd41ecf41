#include "crypto/wrap_salt.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "crypto/hex.h"

namespace quorvane {
namespace {

std::string describe(std::string_view descriptor, std::int64_t fallback) {
    try {
        ParsedWrapSalt parsed = parseWrapSalt(descriptor, fallback);
        return parsed.saltHex + " @ " + std::to_string(parsed.iterations);
    } catch (const HelperError& error) {
        return error.message();
    }
}

TEST(ParseWrapSaltTest, ReadsVersionedAndLegacyDescriptors) {
    const std::string salt = "000102030405060708090a0b0c0d0e0f";
    struct Case {
        std::string descriptor;
        std::string expected;
    };
    const Case cases[] = {
        {"pbkdf2:v2:1200000:" + salt, salt + " @ 1200000"},
        {"pbkdf2:v2:+1200000:" + salt, salt + " @ 1200000"},
        {"pbkdf2:v2:0001200000:" + salt, salt + " @ 1200000"},
        {"pbkdf2:v2:9223372036854775807:" + salt, salt + " @ 9223372036854775807"},
        {"pbkdf2:v2:1:", " @ 1"},  // empty salt is a valid (empty) hex text
        {"pbkdf2:v2:0:" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2:-5:" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2::" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2: 12:" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2:12 :" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2:+:" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2:0x10:" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2:9223372036854775808:" + salt, "invalid wrap iterations"},
        {"pbkdf2:v2:abc:zz", "invalid wrap iterations"},  // the count is checked first
        {"pbkdf2:v2:10:abc", "invalid salt hex"},
        {"pbkdf2:v2:10:zz", "invalid salt hex"},
        // Anything that is not exactly four fields led by "pbkdf2", "v2" is legacy, unchecked.
        {"PBKDF2:v2:10:" + salt, "PBKDF2:v2:10:" + salt + " @ 77"},
        {"pbkdf2:v3:10:" + salt, "pbkdf2:v3:10:" + salt + " @ 77"},
        {"pbkdf2:v2:10", "pbkdf2:v2:10 @ 77"},
        {"pbkdf2:v2:10:00:", "pbkdf2:v2:10:00: @ 77"},
        {salt, salt + " @ 77"},
        {"", " @ 77"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(describe(c.descriptor, 77), c.expected) << "descriptor: " << c.descriptor;
    }
}

std::string deriveText(std::string_view secret, std::string_view saltHex, std::int64_t count) {
    try {
        return dataHex(pbkdf2(secret, saltHex, count).span());
    } catch (const HelperError& error) {
        return error.message();
    }
}

TEST(Pbkdf2Test, ChecksSaltThenCountBeforeDeriving) {
    EXPECT_EQ(deriveText("pw", "zz", -1), "invalid salt hex");
    EXPECT_EQ(deriveText("pw", "a:b", 1), "invalid salt hex");
    EXPECT_EQ(deriveText("pw", "00", -1), "wrap iterations out of range");
    EXPECT_EQ(deriveText("pw", "00", 4294967296), "wrap iterations out of range");
    EXPECT_EQ(deriveText("pw", "00", 0).rfind("pbkdf2 derive failed: ", 0), 0u);
}

TEST(Pbkdf2Test, DerivesPasswordBytesExactlyAsGiven) {
    // RFC 7914's PBKDF2-HMAC-SHA-256 vector, first 32 bytes.
    EXPECT_EQ(deriveText("passwd",
                         dataHex(std::span(reinterpret_cast<const std::uint8_t*>("salt"), 4)), 1),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
    using namespace std::string_view_literals;
    std::string plain = deriveText("pw", "00", 2);
    EXPECT_NE(deriveText("pw\0x"sv, "00", 2), plain) << "a NUL inside the password is kept";
    EXPECT_NE(deriveText("pw", "0000", 2), plain);
    EXPECT_NE(deriveText("pw", "00", 3), plain);
    EXPECT_EQ(deriveText("", "", 1).size(), 64u) << "empty password and salt are not refused";
}

TEST(DeriveWrapKeyTest, UsesTheFallbackOnlyForLegacyDescriptors) {
    const std::string salt = "000102030405060708090a0b0c0d0e0f";
    auto derive = [](std::string_view descriptor, std::int64_t fallback) {
        return dataHex(deriveWrapKey("pw", descriptor, fallback).span());
    };
    EXPECT_EQ(derive("pbkdf2:v2:3:" + salt, 5), derive("pbkdf2:v2:3:" + salt, 7));
    EXPECT_EQ(derive("pbkdf2:v2:3:" + salt, 5), derive(salt, 3));
    EXPECT_NE(derive(salt, 3), derive(salt, 4));
}

}  // namespace
}  // namespace quorvane
