#include "crypto/envelope.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

#include "base/errors.h"
#include "crypto/random.h"

namespace quorvane {

struct EnvelopeCipher::Context {
    EVP_CIPHER_CTX* encrypt = nullptr;
    EVP_CIPHER_CTX* decrypt = nullptr;
    // Nonces are drawn from the CSPRNG in batches: one generator call per batch instead of one
    // per envelope, with the same uniformly random, never-reused 96-bit nonces.
    static constexpr std::size_t kBatch = 128;
    std::uint8_t nonces[kBatch * kNonceSize];
    std::size_t noncesLeft = 0;
    ~Context() {
        EVP_CIPHER_CTX_free(encrypt);  // frees and cleanses the key schedule
        EVP_CIPHER_CTX_free(decrypt);
        wipeMemory(nonces, sizeof nonces);
    }
};

namespace {

[[noreturn]] void providerFailure() { throw PlatformError("aes-gcm provider failure"); }

// OpenSSL's update calls take int lengths; larger inputs are fed in slices.
constexpr std::size_t kMaxSlice = static_cast<std::size_t>(INT_MAX) / 16 * 16;

}  // namespace

EnvelopeCipher::EnvelopeCipher(std::span<const std::uint8_t> key) : context_(new Context) {
    if (key.size() != kKeySize) throw HelperError("invalid key length");
    context_->encrypt = EVP_CIPHER_CTX_new();
    context_->decrypt = EVP_CIPHER_CTX_new();
    if (context_->encrypt == nullptr || context_->decrypt == nullptr) providerFailure();
    if (EVP_EncryptInit_ex(context_->encrypt, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) !=
            1 ||
        EVP_DecryptInit_ex(context_->decrypt, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) !=
            1) {
        providerFailure();
    }
}

EnvelopeCipher::~EnvelopeCipher() = default;

void EnvelopeCipher::nextNonce(std::uint8_t* nonce) {
    if (context_->noncesLeft == 0) {
        randomBytes(context_->nonces);
        context_->noncesLeft = Context::kBatch;
    }
    --context_->noncesLeft;
    std::copy_n(context_->nonces + context_->noncesLeft * kNonceSize, kNonceSize, nonce);
}

void EnvelopeCipher::encrypt(const std::uint8_t* nonce, std::span<const std::uint8_t> plaintext,
                             std::uint8_t* ciphertext, std::uint8_t* tag) {
    EVP_CIPHER_CTX* ctx = context_->encrypt;
    if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) != 1) providerFailure();
    std::size_t done = 0;
    while (done < plaintext.size()) {
        std::size_t slice = std::min(plaintext.size() - done, kMaxSlice);
        int written = 0;
        if (EVP_EncryptUpdate(ctx, ciphertext + done, &written, plaintext.data() + done,
                              static_cast<int>(slice)) != 1) {
            providerFailure();
        }
        done += slice;
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(ctx, ciphertext + done, &finalLength) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1) {
        providerFailure();
    }
}

void EnvelopeCipher::seal(std::span<const std::uint8_t> plaintext, std::uint8_t* out) {
    nextNonce(out);
    encrypt(out, plaintext, out + kEnvelopeOverhead, out + kNonceSize);
}

void EnvelopeCipher::sealInPlace(std::span<std::uint8_t> data,
                                 std::uint8_t (&header)[kEnvelopeOverhead]) {
    nextNonce(header);
    encrypt(header, data, data.data(), header + kNonceSize);
}

std::size_t EnvelopeCipher::open(std::span<const std::uint8_t> envelope, std::uint8_t* out) {
    if (envelope.size() < kEnvelopeOverhead) throw HelperError("ciphertext too short");
    std::uint8_t nonce[kNonceSize];
    std::uint8_t tag[kTagSize];
    std::copy_n(envelope.data(), kNonceSize, nonce);
    std::copy_n(envelope.data() + kNonceSize, kTagSize, tag);
    const std::uint8_t* ciphertext = envelope.data() + kEnvelopeOverhead;
    std::size_t length = envelope.size() - kEnvelopeOverhead;

    EVP_CIPHER_CTX* ctx = context_->decrypt;
    if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) != 1) providerFailure();
    std::size_t done = 0;
    while (done < length) {
        std::size_t slice = std::min(length - done, kMaxSlice);
        int written = 0;
        if (EVP_DecryptUpdate(ctx, out + done, &written, ciphertext + done,
                              static_cast<int>(slice)) != 1) {
            wipeMemory(out, done);
            providerFailure();
        }
        done += slice;
    }
    int finalLength = 0;
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1 ||
        EVP_DecryptFinal_ex(ctx, out + done, &finalLength) != 1) {
        // Unauthenticated plaintext never leaves: wipe what the update calls produced.
        wipeMemory(out, length);
        throw PlatformError(kAuthenticationFailed);
    }
    return length;
}

Bytes encryptData(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> key) {
    Bytes envelope(kEnvelopeOverhead + plaintext.size());
    EnvelopeCipher(key).seal(plaintext, envelope.data());
    return envelope;
}

SecretBytes decryptData(std::span<const std::uint8_t> envelope, std::span<const std::uint8_t> key) {
    if (envelope.size() < kEnvelopeOverhead) throw HelperError("ciphertext too short");
    SecretBytes plaintext(envelope.size() - kEnvelopeOverhead);
    EnvelopeCipher(key).open(envelope, plaintext.data());
    return plaintext;
}

}  // namespace quorvane
