#include "crypto/ecies.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <climits>
#include <memory>

#include "base/platform_error.h"
#include "crypto/p256.h"

namespace quorvane::ecies {
namespace {

constexpr std::size_t kAesKeySize = 16;
constexpr std::size_t kIvSize = 16;

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

[[noreturn]] void providerFailure() { throw PlatformError("ecies provider failure"); }

// startGcm readies AES-128-GCM with K's halves as key and IV. The IV length must be set before
// the IV itself: GCM's default of 12 bytes would silently use only part of it.
CipherContext startGcm(const SecretBytes& derived, bool encrypting) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) providerFailure();
    const std::uint8_t* key = derived.data();
    const std::uint8_t* iv = derived.data() + kAesKeySize;
    int ok = encrypting
                 ? EVP_EncryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr)
                 : EVP_DecryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr);
    if (ok != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) != 1) {
        providerFailure();
    }
    ok = encrypting ? EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key, iv)
                    : EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key, iv);
    if (ok != 1) providerFailure();
    return context;
}

SecretBytes deriveKey(std::span<const std::uint8_t> z, std::span<const std::uint8_t> ephemeral) {
    return x963Kdf(z, ephemeral, kDerivedSize);
}

}  // namespace

SecretBytes x963Kdf(std::span<const std::uint8_t> z, std::span<const std::uint8_t> sharedInfo,
                    std::size_t length) {
    std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(
        EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_X963KDF, nullptr), &EVP_KDF_free);
    if (!kdf) providerFailure();
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> context(EVP_KDF_CTX_new(kdf.get()),
                                                                      &EVP_KDF_CTX_free);
    if (!context) providerFailure();
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(z.data()),
                                          z.size()),
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(sharedInfo.data()), sharedInfo.size()),
        OSSL_PARAM_construct_end(),
    };
    SecretBytes derived(length);
    if (EVP_KDF_derive(context.get(), derived.data(), derived.size(), params) != 1) {
        providerFailure();
    }
    return derived;
}

Bytes encrypt(std::span<const std::uint8_t> recipientPoint,
              std::span<const std::uint8_t> plaintext) {
    SecretBytes ephemeral = p256::generateScalar();
    return encryptWithEphemeral(recipientPoint, ephemeral.span(), plaintext);
}

Bytes encryptWithEphemeral(std::span<const std::uint8_t> recipientPoint,
                           std::span<const std::uint8_t> ephemeralScalar,
                           std::span<const std::uint8_t> plaintext) {
    if (plaintext.size() > static_cast<std::size_t>(INT_MAX) - kOverhead) {
        throw PlatformError("ecies plaintext too long");
    }
    SecretBytes z = p256::sharedSecret(ephemeralScalar, recipientPoint);
    Bytes blob = p256::publicPoint(ephemeralScalar);
    SecretBytes derived = deriveKey(z.span(), blob);

    CipherContext context = startGcm(derived, true);
    const std::size_t header = blob.size();
    blob.resize(header + plaintext.size() + kTagSize);
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), blob.data() + header, &written, plaintext.data(),
                          static_cast<int>(plaintext.size())) != 1) {
        providerFailure();
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(context.get(), blob.data() + header + written, &finalLength) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                            blob.data() + header + plaintext.size()) != 1) {
        providerFailure();
    }
    return blob;
}

void checkShape(std::span<const std::uint8_t> blob) {
    if (blob.size() < kOverhead) throw PlatformError("ecies ciphertext too short");
    if (!p256::isValidPoint(blob.first(p256::kPointSize))) {
        throw PlatformError("invalid P-256 public key");
    }
}

SecretBytes decrypt(std::span<const std::uint8_t> scalar, std::span<const std::uint8_t> blob) {
    if (blob.size() < kOverhead) throw PlatformError("ecies ciphertext too short");
    if (blob.size() > static_cast<std::size_t>(INT_MAX)) {
        throw PlatformError("ecies ciphertext too long");
    }
    SecretBytes z = p256::sharedSecret(scalar, blob.first(p256::kPointSize));
    return decryptWithSharedSecret(z.span(), blob);
}

SecretBytes decryptWithSharedSecret(std::span<const std::uint8_t> z,
                                    std::span<const std::uint8_t> blob) {
    if (blob.size() < kOverhead) throw PlatformError("ecies ciphertext too short");
    if (blob.size() > static_cast<std::size_t>(INT_MAX)) {
        throw PlatformError("ecies ciphertext too long");
    }
    std::span<const std::uint8_t> ephemeral = blob.first(p256::kPointSize);
    std::span<const std::uint8_t> ciphertext =
        blob.subspan(p256::kPointSize, blob.size() - kOverhead);
    std::span<const std::uint8_t> tag = blob.last(kTagSize);

    SecretBytes derived = deriveKey(z, ephemeral);
    CipherContext context = startGcm(derived, false);

    SecretBytes plaintext(ciphertext.size());
    int written = 0;
    if (EVP_DecryptUpdate(context.get(), plaintext.data(), &written, ciphertext.data(),
                          static_cast<int>(ciphertext.size())) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize,
                            const_cast<std::uint8_t*>(tag.data())) != 1) {
        providerFailure();
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + written, &finalLength) != 1) {
        // `plaintext` wipes the unauthenticated bytes as it goes.
        throw PlatformError("ecies authentication failed");
    }
    return plaintext;
}

}  // namespace quorvane::ecies
