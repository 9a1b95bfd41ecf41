#include "payload/line_commands.h"

#include "base/errors.h"
#include "base/utf8.h"
#include "payload/envelope_text.h"

namespace quorvane {

void encryptLinesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto lines = context.request.mutableStringArray("lines");
    if (!sessionId || !lines) throw HelperError("encrypt_lines missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);

    EnvelopeCipher cipher(key.span());
    std::size_t replyLength = 16;
    for (std::span<char> line : *lines) replyLength += sealedTextLength(line.size()) + 3;
    context.reply.reserve(replyLength);
    context.reply.beginArray("lines");
    for (std::span<char> line : *lines) {
        if (!isValidUtf8({line.data(), line.size()})) throw HelperError("invalid utf8 payload");
        std::uint8_t header[kEnvelopeOverhead];
        cipher.sealInPlace(asBytes(line), header);
        context.reply.arrayBase64(header, asBytes(line));
    }
    context.reply.endArray();
}

void decryptLinesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto lines = context.request.mutableStringArray("lines");
    if (!sessionId || !lines) throw HelperError("decrypt_lines missing parameters");
    const SecretBytes& key = context.sessionKey(*sessionId);

    EnvelopeCipher cipher(key.span());
    std::size_t replyLength = 16;
    for (std::span<char> line : *lines) replyLength += line.size() + 3;
    context.reply.reserve(replyLength);
    context.reply.beginArray("lines");
    for (std::span<char> line : *lines) {
        auto plaintext = openTextInPlace(cipher, line, "invalid ciphertext");
        if (!isValidUtf8(asText(plaintext))) throw HelperError("invalid utf8 plaintext");
        context.reply.arrayString(asText(plaintext));
    }
    context.reply.endArray();
}

}  // namespace quorvane
