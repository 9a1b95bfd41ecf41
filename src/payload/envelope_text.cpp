#include "payload/envelope_text.h"

#include <simdjson.h>

#include "base/errors.h"
#include "crypto/base64.h"

namespace quorvane {

std::size_t sealedTextLength(std::size_t plaintextLength) {
    return base64EncodedLength(kEnvelopeOverhead + plaintextLength);
}

void sealInPlaceToText(EnvelopeCipher& cipher, std::span<std::uint8_t> plaintext, char* out) {
    std::uint8_t header[kEnvelopeOverhead];
    cipher.sealInPlace(plaintext, header);
    base64Encode(header, plaintext, out);
}

std::span<const std::uint8_t> openTextInPlace(EnvelopeCipher& cipher, std::span<char> text,
                                              const char* invalidTextMessage) {
    std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(text.data());
    auto length = base64Decode({text.data(), text.size()}, bytes);
    if (!length) throw HelperError(invalidTextMessage);
    // The plaintext replaces the ciphertext behind the 28-byte header.
    std::size_t plaintextLength = cipher.open({bytes, *length}, bytes + kEnvelopeOverhead);
    return {bytes + kEnvelopeOverhead, plaintextLength};
}

bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    return simdjson::validate_utf8(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool isValidUtf8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

}  // namespace quorvane
