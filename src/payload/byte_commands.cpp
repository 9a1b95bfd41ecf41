#include "payload/byte_commands.h"

#include "crypto/base64.h"
#include "front/errors.h"
#include "payload/envelope_text.h"

namespace quorvane {

void encryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.string("data");
    if (!sessionId || !data) throw HelperError("encrypt_bytes missing parameters");
    const SecretBytes& key = context.sessions.requireAnySession(*sessionId);

    // Decode behind a reserved envelope header and seal in place: one buffer for the payload.
    SecretBytes buffer(kEnvelopeOverhead + base64DecodedMaxLength(data->size()));
    auto length = base64Decode(*data, buffer.data() + kEnvelopeOverhead);
    if (!length) throw HelperError("invalid base64 data");
    EnvelopeCipher cipher(key.span());
    cipher.seal({buffer.data() + kEnvelopeOverhead, *length}, buffer.data());
    std::span<const std::uint8_t> envelope(buffer.data(), kEnvelopeOverhead + *length);
    base64Encode(envelope, context.reply.addRawString("data", base64EncodedLength(envelope.size())));
}

void decryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.string("data");
    if (!sessionId || !data) throw HelperError("decrypt_bytes missing parameters");
    const SecretBytes& key = context.sessions.requireFullSession(*sessionId);

    EnvelopeCipher cipher(key.span());
    SecretBytes scratch;
    auto plaintext = openText(cipher, *data, scratch, "invalid base64 data");
    base64Encode(plaintext, context.reply.addRawString("data", base64EncodedLength(plaintext.size())));
}

}  // namespace quorvane
