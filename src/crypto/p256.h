#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/secret_bytes.h"

// P-256 arithmetic for the software presence key, through OpenSSL. Private
// keys travel as 32-byte big-endian scalars in SecretBytes; public keys as uncompressed points
// (0x04 || X || Y). Every function raises PlatformError on failure, with a text that never
// contains key material.
namespace quorvane::p256 {

inline constexpr std::size_t kScalarSize = 32;
inline constexpr std::size_t kPointSize = 65;
inline constexpr std::size_t kSharedSecretSize = 32;

// generateScalar draws a new private scalar, uniform over 1...n-1, from OpenSSL's key generator.
SecretBytes generateScalar();

// isValidScalar answers whether `scalar` is 32 bytes and within 1...n-1.
bool isValidScalar(std::span<const std::uint8_t> scalar);

// isValidPoint answers whether `point` is an uncompressed point (65 bytes, 0x04 || X || Y) on the
// curve, other than the point at infinity.
bool isValidPoint(std::span<const std::uint8_t> point);

// publicPoint returns the uncompressed point scalar·G. Raises PlatformError "invalid P-256
// private key" when the scalar is not valid.
Bytes publicPoint(std::span<const std::uint8_t> scalar);

// sharedSecret returns the x-coordinate of scalar·point (plain ECDH; P-256's cofactor is 1, so
// cofactor ECDH gives the same value). Raises PlatformError "invalid P-256 private key" for a bad
// scalar and "invalid P-256 public key" when `point` is not an uncompressed point on the curve.
SecretBytes sharedSecret(std::span<const std::uint8_t> scalar, std::span<const std::uint8_t> point);

}  // namespace quorvane::p256
