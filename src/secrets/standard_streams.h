#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "crypto/secret_bytes.h"

namespace quorvane {

// readStandardInputToEnd reads standard input until end of file into wiping storage. Nothing
// when reading fails (whatever was read is wiped).
std::optional<SecretBytes> readStandardInputToEnd();

// writeStandardOutput writes all of `bytes` to standard output, unbuffered, so no copy of a
// secret stays in a stdio buffer. False when the write fails (closed pipe, full disk).
bool writeStandardOutput(std::span<const std::uint8_t> bytes);

}  // namespace quorvane
