#include "payload/envelope_text.h"

#include <algorithm>

#include "base/errors.h"
#include "crypto/base64.h"

namespace quorvane {

std::size_t sealedTextLength(std::size_t plaintextLength) {
    return base64EncodedLength(kEnvelopeOverhead + plaintextLength);
}

std::span<const std::uint8_t> openInPlace(EnvelopeCipher& cipher,
                                          std::span<std::uint8_t> envelope) {
    // The plaintext replaces the ciphertext behind the 28-byte header (a shorter envelope is
    // refused before anything is written).
    std::uint8_t* plaintext = envelope.data() + std::min(envelope.size(), kEnvelopeOverhead);
    return {plaintext, cipher.open(envelope, plaintext)};
}

std::span<const std::uint8_t> openTextInPlace(EnvelopeCipher& cipher, std::span<char> text,
                                              const char* invalidTextMessage) {
    std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(text.data());
    auto length = base64Decode({text.data(), text.size()}, bytes);
    if (!length) throw HelperError(invalidTextMessage);
    return openInPlace(cipher, {bytes, *length});
}

}  // namespace quorvane
