#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// hexData reads hex text two characters at a time. A pair is two hex digits in either case, a
// "+" followed by one hex digit, or "-0" (the pair forms an optionally signed base-16 parse
// admits). Returns nothing for odd length or any other pair, and an empty result for empty
// text. The result may be key material, so it is held as SecretBytes.
std::optional<SecretBytes> hexData(std::string_view text);

// dataHex writes two lowercase hex digits per byte, no separator.
std::string dataHex(std::span<const std::uint8_t> bytes);
// dataHexInto writes the same text to `out` (2 * bytes.size() characters), for callers that keep
// the text in secret storage.
void dataHexInto(std::span<const std::uint8_t> bytes, char* out);

// concat joins byte strings in order with nothing between them.
SecretBytes concat(std::initializer_list<std::span<const std::uint8_t>> parts);

// randomHex draws `bytes` bytes from the CSPRNG and returns them as lowercase hex.
std::string randomHex(std::size_t bytes);

}  // namespace quorvane
