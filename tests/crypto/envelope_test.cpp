#include "crypto/envelope.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "crypto/hex.h"
#include "support/error_text.h"

namespace quorvane {
namespace {

SecretBytes fromHex(std::string_view text) { return *hexData(text); }

using testing::errorText;

// Known answers of AES-256-GCM with a 96-bit IV and no additional data (the GCM paper's test
// cases 13-15), laid out as an envelope: nonce || tag || ciphertext.
struct KnownAnswer {
    const char* key;
    const char* nonce;
    const char* plaintext;
    const char* ciphertext;
    const char* tag;
};
const KnownAnswer kKnownAnswers[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18",
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b"
     "525b16aedf5aa0de657ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828"
     "838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

TEST(EnvelopeTest, OpensKnownAnswerEnvelopes) {
    for (const KnownAnswer& answer : kKnownAnswers) {
        SecretBytes envelope = fromHex(std::string(answer.nonce) + answer.tag + answer.ciphertext);
        SecretBytes plaintext = decryptData(envelope.span(), fromHex(answer.key).span());
        EXPECT_EQ(dataHex(plaintext.span()), answer.plaintext);
    }
}

TEST(EnvelopeTest, SealsToNonceTagCiphertextWithAFreshNonce) {
    SecretBytes key = fromHex(kKnownAnswers[2].key);
    SecretBytes plaintext = fromHex(kKnownAnswers[2].plaintext);
    Bytes first = encryptData(plaintext.span(), key.span());
    Bytes second = encryptData(plaintext.span(), key.span());
    ASSERT_EQ(first.size(), 28 + plaintext.size());
    EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));
    EXPECT_EQ(dataHex(decryptData(first, key.span()).span()), kKnownAnswers[2].plaintext);
    EXPECT_EQ(dataHex(decryptData(second, key.span()).span()), kKnownAnswers[2].plaintext);

    EXPECT_EQ(encryptData({}, key.span()).size(), 28u);
    EXPECT_EQ(decryptData(encryptData({}, key.span()), key.span()).size(), 0u);
}

TEST(EnvelopeTest, RefusesShortTamperedOrForeignEnvelopes) {
    SecretBytes key = fromHex(kKnownAnswers[2].key);
    SecretBytes otherKey = fromHex(kKnownAnswers[0].key);
    Bytes envelope = encryptData(fromHex("00112233445566778899").span(), key.span());

    EXPECT_EQ(errorText([&] { decryptData(Bytes(27), key.span()); }), "ciphertext too short");
    EXPECT_EQ(errorText([&] { decryptData(Bytes(28), key.span()); }), kAuthenticationFailed);
    EXPECT_EQ(errorText([&] { decryptData(envelope, otherKey.span()); }), kAuthenticationFailed);
    for (std::size_t bit = 0; bit < envelope.size() * 8; ++bit) {
        Bytes tampered = envelope;
        tampered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_EQ(errorText([&] { decryptData(tampered, key.span()); }), kAuthenticationFailed)
            << "bit " << bit;
    }
}

TEST(EnvelopeTest, FailedOpenLeavesNoPlaintextBehind) {
    SecretBytes key = fromHex(kKnownAnswers[2].key);
    SecretBytes plaintext = fromHex(kKnownAnswers[2].plaintext);
    Bytes envelope = encryptData(plaintext.span(), key.span());
    envelope[20] ^= 1;  // break the tag only: the ciphertext itself still decrypts
    Bytes out(envelope.size() - 28, 0xaa);
    EnvelopeCipher cipher(key.span());
    EXPECT_THROW(cipher.open(envelope, out.data()), PlatformError);
    EXPECT_EQ(out, Bytes(out.size(), 0));
}

}  // namespace
}  // namespace quorvane
