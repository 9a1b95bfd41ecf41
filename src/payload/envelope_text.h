#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/envelope.h"
#include "crypto/secret_bytes.h"

namespace quorvane {

// The text forms of envelopes shared by the payload commands: an envelope travels as one
// standard base64 text.

// sealedTextLength is the base64 length of the envelope of `plaintextLength` bytes.
std::size_t sealedTextLength(std::size_t plaintextLength);

// sealToText seals `plaintext` and writes the envelope's base64 (sealedTextLength bytes) to
// `out`. `scratch` is reused between calls to hold the binary envelope.
void sealToText(EnvelopeCipher& cipher, std::span<const std::uint8_t> plaintext, Bytes& scratch,
                char* out);

// openText decodes the base64 `text` and opens the envelope in `scratch`, returning the
// plaintext as a view into `scratch` (valid until the next call). Invalid base64 raises
// HelperError `invalidTextMessage`; opening raises as EnvelopeCipher::open does.
std::span<const std::uint8_t> openText(EnvelopeCipher& cipher, std::string_view text,
                                       SecretBytes& scratch, const char* invalidTextMessage);

// isValidUtf8 is true when `bytes` are well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUtf8(std::span<const std::uint8_t> bytes);
bool isValidUtf8(std::string_view text);

// asText views bytes as text without copying.
inline std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace quorvane
