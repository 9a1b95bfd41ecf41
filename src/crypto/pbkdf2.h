#pragma once

#include <cstdint>
#include <span>

#include "crypto/secret_bytes.h"

namespace quorvane {

// pbkdf2HmacSha256 derives `out.size()` bytes with PBKDF2 (RFC 8018) and HMAC-SHA-256 over
// `password` and `salt` with `iterations` rounds. Returns 0 on success, or a non-zero status
// when the derivation is refused (zero iterations); `out` then holds zeros.
int pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                     std::uint32_t iterations, std::span<std::uint8_t> out);

}  // namespace quorvane
