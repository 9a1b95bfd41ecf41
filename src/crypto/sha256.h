#pragma once

#include <cstdint>
#include <span>

#include "crypto/secret_bytes.h"

namespace quorvane {

// sha256 returns the 32-byte SHA-256 digest of `data` (held as secret: callers hash keys).
SecretBytes sha256(std::span<const std::uint8_t> data);

}  // namespace quorvane
