#include "payload/line_commands.h"

#include "front/errors.h"
#include "payload/envelope_text.h"

namespace quorvane {

void encryptLinesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto lines = context.request.stringArray("lines");
    if (!sessionId || !lines) throw HelperError("encrypt_lines missing parameters");
    const SecretBytes& key = context.sessions.requireAnySession(*sessionId);

    EnvelopeCipher cipher(key.span());
    std::size_t replyLength = 0;
    for (std::string_view line : *lines) replyLength += sealedTextLength(line.size()) + 3;
    context.reply.reserve(replyLength + 16);
    Bytes scratch;
    context.reply.beginArray("lines");
    for (std::string_view line : *lines) {
        if (!isValidUtf8(line)) throw HelperError("invalid utf8 payload");
        char* out = context.reply.arrayRawString(sealedTextLength(line.size()));
        sealToText(cipher, asBytes(line), scratch, out);
    }
    context.reply.endArray();
}

void decryptLinesCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto lines = context.request.stringArray("lines");
    if (!sessionId || !lines) throw HelperError("decrypt_lines missing parameters");
    const SecretBytes& key = context.sessions.requireFullSession(*sessionId);

    EnvelopeCipher cipher(key.span());
    std::size_t replyLength = 0;
    for (std::string_view line : *lines) replyLength += line.size() + 3;
    context.reply.reserve(replyLength + 16);
    SecretBytes scratch;
    context.reply.beginArray("lines");
    for (std::string_view line : *lines) {
        auto plaintext = openText(cipher, line, scratch, "invalid ciphertext");
        if (!isValidUtf8(plaintext)) throw HelperError("invalid utf8 plaintext");
        context.reply.arrayString(asText(plaintext));
    }
    context.reply.endArray();
}

}  // namespace quorvane
