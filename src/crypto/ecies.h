#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/secret_bytes.h"

// The wrap algorithm of the presence key, for P-256: ECIES with cofactor Diffie-Hellman,
// the ANSI X9.63 key derivation with SHA-256 and AES-GCM in its variable-IV form, byte for byte
// as the platform's key store computes it, so blobs move between the two.
//
//   blob = EphPub (65 bytes, uncompressed) || AES-128-GCM ciphertext (n bytes) || tag (16 bytes)
//   Z    = x-coordinate of ECDH(ephemeral private, recipient public)
//   K    = X9.63-KDF-SHA-256(Z, shared info = EphPub), 32 bytes
//   AES-128-GCM key K[0..16), IV K[16..32) (a 16-byte IV), no additional data
//
// Every function raises PlatformError on failure; no text ever carries key material.
namespace quorvane::ecies {

inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kOverhead = 65 + kTagSize;  // 81 bytes around the ciphertext
inline constexpr std::size_t kDerivedSize = 32;

// x963Kdf derives `length` bytes from the shared secret `z` with SHA-256 and `sharedInfo`
// (counter from 1, big-endian, as ANSI X9.63 section 5.6.3 gives it).
SecretBytes x963Kdf(std::span<const std::uint8_t> z, std::span<const std::uint8_t> sharedInfo,
                    std::size_t length);

// encrypt seals `plaintext` to the P-256 public `recipientPoint` under a fresh ephemeral key.
// Raises PlatformError "invalid P-256 public key" when the point is not on the curve.
Bytes encrypt(std::span<const std::uint8_t> recipientPoint,
              std::span<const std::uint8_t> plaintext);

// encryptWithEphemeral is encrypt with a chosen ephemeral scalar. Only known-answer tests call it:
// reusing an ephemeral key for two messages to one recipient reuses the AES-GCM key and IV.
Bytes encryptWithEphemeral(std::span<const std::uint8_t> recipientPoint,
                           std::span<const std::uint8_t> ephemeralScalar,
                           std::span<const std::uint8_t> plaintext);

// checkShape raises PlatformError unless `blob` could be a ciphertext for some P-256 key: at
// least kOverhead bytes and beginning with a valid uncompressed point. It needs no private key,
// so a key store can refuse garbage before it asks the person for anything.
void checkShape(std::span<const std::uint8_t> blob);

// decrypt opens `blob` with the private `scalar`. Raises PlatformError "ecies ciphertext too
// short", "invalid P-256 public key", or "ecies authentication failed" when the tag does not
// verify (the blob was made for another key or was changed); no plaintext is released then.
SecretBytes decrypt(std::span<const std::uint8_t> scalar, std::span<const std::uint8_t> blob);

// decryptWithSharedSecret is decrypt after the ECDH step, for a key whose private half is held
// elsewhere (a TPM computes `z` from the blob's ephemeral point). `z` must be the x-coordinate of
// the private key times the point in blob[0..65). Raises the same errors as decrypt, except that
// it does not check the point again.
SecretBytes decryptWithSharedSecret(std::span<const std::uint8_t> z,
                                    std::span<const std::uint8_t> blob);

}  // namespace quorvane::ecies
