#include "crypto/ecies.h"

#include <gtest/gtest.h>

#include <string>

#include "base/platform_error.h"
#include "crypto/hex.h"
#include "crypto/p256.h"

namespace quorvane::platform {
namespace {

Bytes unhex(std::string_view text) {
    auto bytes = hexData(text);
    if (!bytes) throw std::invalid_argument("bad hex in test data");
    return Bytes(bytes->data(), bytes->data() + bytes->size());
}

std::string hexOf(const SecretBytes& bytes) { return dataHex(bytes.span()); }

std::string errorOf(auto&& action) {
    try {
        action();
    } catch (const PlatformError& error) {
        return error.description();
    }
    return "(no error)";
}

// A ciphertext made by the platform's own key store, with its intermediates.
constexpr std::string_view kPlatformScalar =
    "71a1c67a6ede41bf9d6e68cc3649f934c542f2fa3329c2710583ea31d5e29d14";
constexpr std::string_view kPlatformBlob =
    "048eac0421b27fdd7a190495dc31cebe61713a6cdb57da6ad3cc1c39d29a7a93f6fd0b5ea63f4cef57589335dfe8"
    "ea88b2d0f2c952317e700c7d4a71673a021c36da958473cf086a1f083b2ba44d975176f4f55d2cdb491f8f7cc894"
    "9f9685bf";
constexpr std::string_view kPlatformZ =
    "955d83a0418bd51584df82b81b6ffa67ad2ff2690950cabfaa889def1116f8d5";
constexpr std::string_view kPlatformK =
    "1d47bc34184fef1dd4d2835c9d7416e8f0ff8be7e148f200b9497010ac21e32a";

// A fixed-ephemeral encryption.
constexpr std::string_view kRecipientScalar =
    "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721";
constexpr std::string_view kEphemeralScalar =
    "1111111111111111111111111111111111111111111111111111111111111111";
constexpr std::string_view kDeterministicBlob =
    "040217e617f0b6443928278f96999e69a23a4f2c152bdf6d6cdf66e5b80282d4ed194a7debcb97712d2dda3ca85a"
    "a8765a56f45fc758599652f2897c65306e579449c57887708df20a724f0bc6b74e46b8073d8f83a44292793aff3b"
    "e6c216abe7e7b2ccfbd2a318788b0f53551cf2455a";

TEST(EciesKnownAnswer, OpensThePlatformMadeCiphertextThroughItsIntermediates) {
    Bytes scalar = unhex(kPlatformScalar);
    Bytes blob = unhex(kPlatformBlob);
    std::span<const std::uint8_t> ephemeral(blob.data(), p256::kPointSize);

    SecretBytes z = p256::sharedSecret(scalar, ephemeral);
    EXPECT_EQ(hexOf(z), kPlatformZ);
    EXPECT_EQ(hexOf(ecies::x963Kdf(z.span(), ephemeral, 32)), kPlatformK);
    EXPECT_EQ(ecies::decrypt(scalar, blob).view(), "P256-SHA256-VIV");
}

TEST(EciesKnownAnswer, EncryptsToTheSameBytesWithAFixedEphemeralKey) {
    Bytes recipient = p256::publicPoint(unhex(kRecipientScalar));
    Bytes plaintext;
    for (int i = 0; i < 32; ++i) plaintext.push_back(static_cast<std::uint8_t>(i));

    Bytes blob = ecies::encryptWithEphemeral(recipient, unhex(kEphemeralScalar), plaintext);
    EXPECT_EQ(dataHex(blob), kDeterministicBlob);
    EXPECT_EQ(blob.size(), ecies::kOverhead + plaintext.size());
    SecretBytes opened = ecies::decrypt(unhex(kRecipientScalar), blob);
    EXPECT_EQ(Bytes(opened.data(), opened.data() + opened.size()), plaintext);
}

// ANSI X9.63 KDF with SHA-256, from NIST's component validation vectors (ansx963_2001).
TEST(EciesKnownAnswer, X963KdfMatchesTheStandardVectors) {
    struct Case {
        std::string_view z, sharedInfo, derived;
    };
    const Case cases[] = {
        {"96c05619d56c328ab95fe84b18264b08725b85e33fd34f08", "",
         "443024c3dae66b95e6f5670601558f71"},
        {"22518b10e70f2a3f243810ae3254139efbee04aa57c7af7d", "75eef81aa3041e33b80971203d2c0c52",
         "c498af77161cc59f2962b9a713e2b215152d139766ce34a776df11866a69bf2e52a13d9c7c6fc878c50c5ea0b"
         "c"
         "7b00e0da2447cfd874f6cf92f30d0097111485500c90c3af8b487872d04685d14c8d1dc8d7fa08beb0ce0abab"
         "c"
         "11f0bd496269142d43525a78e5bc79a17f59676a5706dc54d54d4d1f0bd7e386128ec26afc21"},
    };
    for (const Case& c : cases) {
        SecretBytes derived = ecies::x963Kdf(unhex(c.z), unhex(c.sharedInfo), c.derived.size() / 2);
        EXPECT_EQ(hexOf(derived), c.derived) << c.z;
    }
}

TEST(EciesRoundTrip, FreshEphemeralKeysOpenUnderTheRecipientOnly) {
    SecretBytes recipient = p256::generateScalar();
    SecretBytes other = p256::generateScalar();
    Bytes point = p256::publicPoint(recipient.span());
    for (std::size_t size : {0u, 1u, 32u, 1000u}) {
        Bytes plaintext(size, 0xa5);
        Bytes first = ecies::encrypt(point, plaintext);
        Bytes second = ecies::encrypt(point, plaintext);
        EXPECT_NE(first, second) << "the ephemeral key must be fresh each time";
        EXPECT_EQ(first.size(), ecies::kOverhead + size);
        SecretBytes opened = ecies::decrypt(recipient.span(), first);
        EXPECT_EQ(Bytes(opened.data(), opened.data() + opened.size()), plaintext);
        EXPECT_EQ(errorOf([&] { ecies::decrypt(other.span(), first); }),
                  "ecies authentication failed");
    }
}

TEST(EciesDecrypt, RefusesDamagedCiphertexts) {
    Bytes scalar = unhex(kPlatformScalar);
    const Bytes good = unhex(kPlatformBlob);
    struct Case {
        const char* what;
        std::size_t offset;  // byte flipped
        const char* error;
    };
    const Case cases[] = {
        {"ephemeral point moved off the curve", 10, "invalid P-256 public key"},
        {"ciphertext byte", 70, "ecies authentication failed"},
        {"tag byte", good.size() - 1, "ecies authentication failed"},
    };
    for (const Case& c : cases) {
        Bytes blob = good;
        blob[c.offset] ^= 0x01;
        EXPECT_EQ(errorOf([&] { ecies::decrypt(scalar, blob); }), c.error) << c.what;
    }

    Bytes compressed = good;
    compressed[0] = 0x02;
    EXPECT_EQ(errorOf([&] { ecies::decrypt(scalar, compressed); }), "invalid P-256 public key");
    Bytes truncated(good.begin(), good.begin() + ecies::kOverhead - 1);
    EXPECT_EQ(errorOf([&] { ecies::decrypt(scalar, truncated); }), "ecies ciphertext too short");
    EXPECT_EQ(errorOf([&] { ecies::checkShape(truncated); }), "ecies ciphertext too short");
    EXPECT_EQ(errorOf([&] { ecies::checkShape(compressed); }), "invalid P-256 public key");
    EXPECT_EQ(errorOf([&] { ecies::checkShape(good); }), "(no error)");
}

TEST(P256Scalar, OnlyScalarsBetweenOneAndTheOrderAreKeys) {
    const std::string_view order =
        "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
    const std::string_view orderMinusOne =
        "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550";
    EXPECT_FALSE(p256::isValidScalar(Bytes(32, 0)));
    EXPECT_FALSE(p256::isValidScalar(unhex(order)));
    EXPECT_FALSE(p256::isValidScalar(Bytes(31, 1)));
    EXPECT_TRUE(p256::isValidScalar(unhex(orderMinusOne)));
    EXPECT_TRUE(p256::isValidScalar(p256::generateScalar().span()));
    EXPECT_EQ(errorOf([&] { p256::publicPoint(unhex(order)); }), "invalid P-256 private key");
    EXPECT_EQ(errorOf([&] { ecies::decrypt(Bytes(32, 0), unhex(kPlatformBlob)); }),
              "invalid P-256 private key");
}

}  // namespace
}  // namespace quorvane::platform
