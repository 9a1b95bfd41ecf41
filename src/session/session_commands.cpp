#include "session/session_commands.h"

#include "base/errors.h"
#include "crypto/envelope.h"
#include "crypto/hex.h"

namespace quorvane {

void createSessionCommand(CommandContext& context) {
    context.reply.addString("sessionId", context.sessions.createSession());
}

void createSessionFromSecretCommand(CommandContext& context) {
    std::optional<SecretBytes> key;
    if (auto secret = context.request.string("secret")) key = hexData(*secret);
    if (!key || key->size() != kKeySize) {
        throw HelperError("create_session_from_secret missing or invalid secret");
    }
    context.reply.addString("sessionId", context.sessions.createSession(std::move(key)));
}

void lockSessionCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    if (!sessionId) throw HelperError("lock_session missing sessionId");
    context.sessions.remove(*sessionId);
}

}  // namespace quorvane
