#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/envelope.h"
#include "crypto/secret_bytes.h"

namespace quorvane {

// The text forms of envelopes shared by the payload commands: an envelope travels as one
// standard base64 text. The bulk paths work in the request's own (writable) values to avoid
// copies: a payload is sealed or opened where it lies.

// sealedTextLength is the base64 length of the envelope of `plaintextLength` bytes.
std::size_t sealedTextLength(std::size_t plaintextLength);

// openInPlace opens the envelope `envelope` where it lies, returning the plaintext as a view into
// it. Raises as EnvelopeCipher::open does.
std::span<const std::uint8_t> openInPlace(EnvelopeCipher& cipher, std::span<std::uint8_t> envelope);

// openTextInPlace decodes the base64 in `text` where it lies and opens the envelope there,
// returning the plaintext as a view into `text`. Invalid base64 raises HelperError
// `invalidTextMessage`; opening raises as EnvelopeCipher::open does.
std::span<const std::uint8_t> openTextInPlace(EnvelopeCipher& cipher, std::span<char> text,
                                              const char* invalidTextMessage);

// Views of the same bytes as text or bytes, without copying.
inline std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::span<std::uint8_t> asBytes(std::span<char> text) {
    return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

}  // namespace quorvane
