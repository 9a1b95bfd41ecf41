#include "payload/envelope_text.h"

#include <simdjson.h>

#include <algorithm>

#include "crypto/base64.h"
#include "front/errors.h"

namespace quorvane {

std::size_t sealedTextLength(std::size_t plaintextLength) {
    return base64EncodedLength(kEnvelopeOverhead + plaintextLength);
}

void sealToText(EnvelopeCipher& cipher, std::span<const std::uint8_t> plaintext, Bytes& scratch,
                char* out) {
    scratch.resize(kEnvelopeOverhead + plaintext.size());
    cipher.seal(plaintext, scratch.data());
    base64Encode(scratch, out);
}

std::span<const std::uint8_t> openText(EnvelopeCipher& cipher, std::string_view text,
                                       SecretBytes& scratch, const char* invalidTextMessage) {
    std::size_t room = std::max(base64DecodedMaxLength(text.size()), kEnvelopeOverhead);
    if (scratch.size() < room) scratch.resize(room);
    auto length = base64Decode(text, scratch.data());
    if (!length) throw HelperError(invalidTextMessage);
    // Opened in place: the plaintext replaces the ciphertext behind the 28-byte header.
    std::size_t plaintextLength = cipher.open({scratch.data(), *length}, scratch.data() + kEnvelopeOverhead);
    return {scratch.data() + kEnvelopeOverhead, plaintextLength};
}

bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    return simdjson::validate_utf8(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool isValidUtf8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

}  // namespace quorvane
