#include "payload/state_commands.h"

#include "base/errors.h"
#include "base/process_values.h"
#include "base/utf8.h"
#include "crypto/hex.h"
#include "crypto/sha256.h"
#include "payload/envelope_text.h"

namespace quorvane {

SecretBytes stateKeyFor(std::span<const std::uint8_t> vaultKey) {
    SecretBytes input = concat({asBytes(values::stateKeyLabel), vaultKey});
    return sha256(input.span());
}

void encryptStateCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto line = context.request.mutableString("line");
    if (!sessionId || !line) throw HelperError("encrypt_state missing parameters");
    SecretBytes stateKey = stateKeyFor(context.sessionKey(*sessionId).span());
    if (!isValidUtf8({line->data(), line->size()})) throw HelperError("invalid utf8 payload");

    EnvelopeCipher cipher(stateKey.span());
    std::uint8_t header[kEnvelopeOverhead];
    cipher.sealInPlace(asBytes(*line), header);
    context.reply.addBase64("line", header, asBytes(*line));
}

void decryptStateCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto line = context.request.mutableString("line");
    if (!sessionId || !line) throw HelperError("decrypt_state missing parameters");
    SecretBytes stateKey = stateKeyFor(context.sessionKey(*sessionId).span());

    EnvelopeCipher cipher(stateKey.span());
    auto plaintext = openTextInPlace(cipher, *line, "invalid ciphertext");
    if (!isValidUtf8(asText(plaintext))) throw HelperError("invalid utf8 plaintext");
    context.reply.addString("line", asText(plaintext));
}

}  // namespace quorvane
