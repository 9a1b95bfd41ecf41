#include "payload/byte_commands.h"

#include "base/errors.h"
#include "crypto/base64.h"
#include "payload/envelope_text.h"

namespace quorvane {

void encryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.mutableString("data");
    if (!sessionId || !data) throw HelperError("encrypt_bytes missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);

    // The payload is decoded and sealed where the request holds it: no other copy of it exists.
    auto* bytes = reinterpret_cast<std::uint8_t*>(data->data());
    auto length = base64Decode({data->data(), data->size()}, bytes);
    if (!length) throw HelperError("invalid base64 data");
    EnvelopeCipher cipher(key.span());
    sealInPlaceToText(cipher, {bytes, *length},
                      context.reply.addRawString("data", sealedTextLength(*length)));
}

void decryptBytesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto data = context.request.mutableString("data");
    if (!sessionId || !data) throw HelperError("decrypt_bytes missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);

    EnvelopeCipher cipher(key.span());
    auto plaintext = openTextInPlace(cipher, *data, "invalid base64 data");
    base64Encode(plaintext,
                 context.reply.addRawString("data", base64EncodedLength(plaintext.size())));
}

}  // namespace quorvane
