#include "payload/byte_commands.h"

#include "base/errors.h"
#include "crypto/base64.h"
#include "payload/envelope_text.h"

namespace quorvane {

void encryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.payload("data");
    if (!sessionId || !data) throw HelperError("encrypt_bytes missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);
    if (!data->valid) throw HelperError("invalid base64 data");

    // The payload was decoded into the request as it arrived and is sealed there: no other copy
    // of it exists. The reply's text is made piece by piece as it is sent, from the sealed bytes
    // still lying there.
    EnvelopeCipher cipher(key.span());
    std::uint8_t header[kEnvelopeOverhead];
    cipher.sealInPlace(data->bytes, header);
    std::span<const std::uint8_t> body = data->bytes;
    context.reply.addProducedString(
        "data", sealedTextLength(body.size()),
        [header, body](std::size_t offset, std::size_t count, char* out) {
            return base64EncodeSliceEscaped(header, body, offset, count, out);
        });
}

void decryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.payload("data");
    if (!sessionId || !data) throw HelperError("decrypt_bytes missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);
    if (!data->valid) throw HelperError("invalid base64 data");

    EnvelopeCipher cipher(key.span());
    auto plaintext = openInPlace(cipher, data->bytes);
    // The whole envelope is checked before the reply is sent; its text is then made from the
    // plaintext where it was opened.
    context.reply.addProducedString("data", base64EncodedLength(plaintext.size()),
                                    [plaintext](std::size_t offset, std::size_t count, char* out) {
                                        return base64EncodeSliceEscaped(plaintext, {}, offset,
                                                                        count, out);
                                    });
}

}  // namespace quorvane
