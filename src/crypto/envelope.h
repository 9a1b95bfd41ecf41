#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "crypto/secret_bytes.h"

namespace quorvane {

// The envelope: nonce (12 bytes) || tag (16 bytes) || ciphertext (as long as the plaintext),
// AES-256-GCM with no additional data. Every symmetric encryption of the helper uses it.
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kEnvelopeOverhead = kNonceSize + kTagSize;
inline constexpr std::size_t kKeySize = 32;

// The text of the provider's authentication failure (raised as PlatformError).
inline constexpr const char* kAuthenticationFailed = "aes-gcm authentication failed";

// EnvelopeCipher seals and opens many envelopes under one 32-byte key with one cipher context,
// so the key schedule is computed once per request rather than once per line. Not thread-safe.
class EnvelopeCipher {
  public:
    // EnvelopeCipher keeps a copy of the key's schedule inside OpenSSL; it is wiped with the
    // context when the cipher is destroyed.
    explicit EnvelopeCipher(std::span<const std::uint8_t> key);
    ~EnvelopeCipher();
    EnvelopeCipher(const EnvelopeCipher&) = delete;
    EnvelopeCipher& operator=(const EnvelopeCipher&) = delete;

    // seal writes the envelope of `plaintext` (kEnvelopeOverhead + size bytes) to `out`, with a
    // fresh random nonce. `out` may overlap `plaintext` only when out + kEnvelopeOverhead ==
    // plaintext.data() (sealing in place behind a reserved header). Raises PlatformError.
    void seal(std::span<const std::uint8_t> plaintext, std::uint8_t* out);

    // sealInPlace encrypts `data` where it lies and writes the envelope's first 28 bytes (nonce
    // and tag) to `header`; the envelope is then header || data. Raises PlatformError.
    void sealInPlace(std::span<std::uint8_t> data, std::uint8_t (&header)[kEnvelopeOverhead]);

    // open checks and decrypts `envelope` into `out` (room for size - kEnvelopeOverhead bytes;
    // `out` may equal envelope.data() + kEnvelopeOverhead). Raises HelperError "ciphertext too
    // short" below 28 bytes, PlatformError kAuthenticationFailed when the tag does not verify;
    // on failure `out` holds no plaintext (it is wiped). Returns the plaintext length.
    std::size_t open(std::span<const std::uint8_t> envelope, std::uint8_t* out);

  private:
    void nextNonce(std::uint8_t* nonce);
    void encrypt(const std::uint8_t* nonce, std::span<const std::uint8_t> plaintext,
                 std::uint8_t* ciphertext, std::uint8_t* tag);

    struct Context;
    std::unique_ptr<Context> context_;
};

// encryptData seals `plaintext` under `key` in a new envelope.
Bytes encryptData(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> key);

// decryptData opens `envelope` under `key`; raises as EnvelopeCipher::open does.
SecretBytes decryptData(std::span<const std::uint8_t> envelope, std::span<const std::uint8_t> key);

}  // namespace quorvane
