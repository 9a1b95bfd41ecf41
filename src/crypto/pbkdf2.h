#pragma once

#include <cstdint>
#include <span>

#include "crypto/secret_bytes.h"
#include "crypto/sha256_kernel.h"

namespace quorvane {

// pbkdf2HmacSha256 derives `out.size()` bytes with PBKDF2 (RFC 8018) and HMAC-SHA-256 over
// `password` and `salt` with `iterations` rounds. Returns 0 on success, or a non-zero status
// when the derivation is refused (-1: zero iterations; -2: `out` longer than 2^32 - 1 blocks of
// 32 bytes); `out` then holds zeros. Any password and salt length is accepted, zero included,
// and an empty `out` succeeds with nothing written. Runs on sha256FastestKernel(); every
// intermediate value is wiped before it returns.
int pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                     std::uint32_t iterations, std::span<std::uint8_t> out);

// pbkdf2HmacSha256 on a chosen compression kernel; same contract and same output as above.
int pbkdf2HmacSha256(const Sha256Kernel& kernel, std::span<const std::uint8_t> password,
                     std::span<const std::uint8_t> salt, std::uint32_t iterations,
                     std::span<std::uint8_t> out);

}  // namespace quorvane
