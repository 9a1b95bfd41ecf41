#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

// Vector kernels for base64 on x86-64 CPUs with AVX2; each handles a leading part of the input
// and leaves the rest (at least the final groups, padding included) to the scalar code.

// hasAvx2 is true when the running CPU supports AVX2 (checked once).
bool hasAvx2();

// base64EncodeAvx2 encodes whole 24-byte blocks from the start of `in` and returns the number
// of input bytes consumed (a multiple of 24, possibly 0). Reads up to 4 bytes past each block
// but never outside [in, in + length).
std::size_t base64EncodeAvx2(const std::uint8_t* in, std::size_t length, char* out);

// base64EncodeEscapedAvx2 is base64EncodeAvx2 writing each '/' as "\/" (the text as a JSON
// string holds it): returns the input bytes consumed and sets `written` to the characters
// written. `out` must have room for twice the unescaped text of what it consumes.
std::size_t base64EncodeEscapedAvx2(const std::uint8_t* in, std::size_t length, char* out,
                                    std::size_t* written);

// base64DecodeAvx2 decodes 32-character blocks of alphabet characters from the start of `in`,
// stopping before the first block holding anything else and always leaving more than 44
// characters to the caller. Returns the characters consumed (a multiple of 32); the output is
// three quarters of that. May write up to 8 bytes past the output it reports, but never past
// `out` + 3/4 of `length`; `out` may equal `in` (decoding in place).
std::size_t base64DecodeAvx2(const char* in, std::size_t length, std::uint8_t* out);

}  // namespace quorvane
