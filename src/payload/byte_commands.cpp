#include "payload/byte_commands.h"

#include "base/errors.h"
#include "crypto/base64.h"
#include "payload/envelope_text.h"
#include "server/lifted_members.h"

namespace quorvane {

void encryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.mutableString("data");
    if (!sessionId || !data) throw HelperError("encrypt_bytes missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);

    // The payload is decoded and sealed where the request holds it (the request line itself for
    // a bulk payload): no other copy of it exists. The reply's text is made piece by piece as
    // it is sent, from the sealed bytes still lying there.
    std::span<char> text = liftedText(*data);
    auto* bytes = reinterpret_cast<std::uint8_t*>(text.data());
    auto length = base64Decode({text.data(), text.size()}, bytes);
    if (!length) throw HelperError("invalid base64 data");
    EnvelopeCipher cipher(key.span());
    std::uint8_t header[kEnvelopeOverhead];
    cipher.sealInPlace({bytes, *length}, header);
    std::span<const std::uint8_t> body(bytes, *length);
    context.reply.addProducedString(
        "data", sealedTextLength(*length),
        [header, body](std::size_t offset, std::size_t count, char* out) {
            base64EncodeSlice(header, body, offset, count, out);
        });
}

void decryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.mutableString("data");
    if (!sessionId || !data) throw HelperError("decrypt_bytes missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);

    EnvelopeCipher cipher(key.span());
    auto plaintext = openTextInPlace(cipher, liftedText(*data), "invalid base64 data");
    // The whole envelope is checked before the reply is sent; its text is then made from the
    // plaintext where it was opened.
    context.reply.addProducedString("data", base64EncodedLength(plaintext.size()),
                                    [plaintext](std::size_t offset, std::size_t count, char* out) {
                                        base64EncodeSlice(plaintext, {}, offset, count, out);
                                    });
}

}  // namespace quorvane
