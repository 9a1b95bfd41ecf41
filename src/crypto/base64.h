#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// Standard base64 (RFC 4648 section 4): alphabet A-Z a-z 0-9 + /, "=" padding, one line.

// base64EncodedLength is the text length for `size` bytes: 4 * ceil(size / 3).
constexpr std::size_t base64EncodedLength(std::size_t size) { return (size + 2) / 3 * 4; }

// base64Encode writes the text of `bytes` to `out`, which must hold base64EncodedLength bytes.
void base64Encode(std::span<const std::uint8_t> bytes, char* out);
std::string base64Encode(std::span<const std::uint8_t> bytes);
// base64Encode of two parts writes the text of first || second without joining them first.
void base64Encode(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                  char* out);

// base64EncodeSlice writes `count` characters of the text of first || second, starting at
// character `offset`, to `out`: a long text made in bounded pieces, each the same characters the
// whole text has there. `offset` and `count` must be multiples of 4 (every text length is) and
// the slice must lie within base64EncodedLength(first.size() + second.size()).
void base64EncodeSlice(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                       std::size_t offset, std::size_t count, char* out);

// The same texts as a JSON string holds them: each '/' written as "\/" (base64's only character
// that JSON escaping changes), with no separate pass over the text. Each writes to `out`, which
// must have room for twice the unescaped text, and returns the characters written.
std::size_t base64EncodeEscaped(std::span<const std::uint8_t> bytes, char* out);
std::size_t base64EncodeEscaped(std::span<const std::uint8_t> first,
                                std::span<const std::uint8_t> second, char* out);
std::size_t base64EncodeSliceEscaped(std::span<const std::uint8_t> first,
                                     std::span<const std::uint8_t> second, std::size_t offset,
                                     std::size_t count, char* out);

// base64DecodedMaxLength is an upper bound of the decoded size of `textLength` characters.
constexpr std::size_t base64DecodedMaxLength(std::size_t textLength) { return textLength / 4 * 3; }

// base64Decode reads `text` strictly: length a multiple of four, only alphabet characters, "="
// only as one or two final padding characters. Empty text is zero bytes. Writes to `out` (room
// for base64DecodedMaxLength) and returns the decoded length, or nothing for invalid text
// (`out` may then hold partial output, which the caller owns and wipes). `out` may be the text's
// own storage: output never overtakes input, so decoding in place is safe.
std::optional<std::size_t> base64Decode(std::string_view text, std::uint8_t* out);

// The portable forms of the two functions above (same contracts), used for the tails the vector
// kernels leave and on CPUs without them.
void base64EncodeScalar(std::span<const std::uint8_t> bytes, char* out);
std::optional<std::size_t> base64DecodeScalar(std::string_view text, std::uint8_t* out);

// base64DecodeSecret decodes into a new SecretBytes, or nothing for invalid text.
std::optional<SecretBytes> base64DecodeSecret(std::string_view text);

}  // namespace quorvane
