#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/envelope.h"
#include "crypto/secret_bytes.h"

namespace quorvane {

// The text forms of envelopes shared by the payload commands: an envelope travels as one
// standard base64 text. The bulk paths work in the request's own (writable) text to avoid
// copies: a payload is decoded where it lies and sealed or opened in place.

// sealedTextLength is the base64 length of the envelope of `plaintextLength` bytes.
std::size_t sealedTextLength(std::size_t plaintextLength);

// sealInPlaceToText encrypts `plaintext` where it lies (it then holds ciphertext) and writes the
// envelope's base64 (sealedTextLength bytes) to `out`.
void sealInPlaceToText(EnvelopeCipher& cipher, std::span<std::uint8_t> plaintext, char* out);

// openTextInPlace decodes the base64 in `text` where it lies and opens the envelope there,
// returning the plaintext as a view into `text`. Invalid base64 raises HelperError
// `invalidTextMessage`; opening raises as EnvelopeCipher::open does.
std::span<const std::uint8_t> openTextInPlace(EnvelopeCipher& cipher, std::span<char> text,
                                              const char* invalidTextMessage);

// isValidUtf8 is true when `bytes` are well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUtf8(std::span<const std::uint8_t> bytes);
bool isValidUtf8(std::string_view text);

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
