#include "presence/presence_commands.h"

#include "base/errors.h"
#include "presence/presence_key.h"
#include "presence/presence_wrap.h"

namespace quorvane {

void wrapPresenceCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    if (!sessionId) throw HelperError("wrap_touchid missing sessionId");
    // The session is looked up first, so a refused session never creates a presence key.
    const SecretBytes& vaultKey = context.sessionKey(*sessionId);
    context.reply.addString("blob", wrapVaultKey(context.services.keys(), vaultKey.span()));
}

void resetPresenceKeyCommand(CommandContext& context) {
    deletePresenceKey(context.services.keys());
}

void unwrapPresenceCommand(CommandContext& context) {
    auto blob = context.request.string("blob");
    if (!blob) throw HelperError("unwrap_touchid missing blob");
    std::string sessionId =
        unwrapToSession(context.services.keys(), context.sessions, *blob, context.input);
    context.reply.addString("sessionId", sessionId);
}

}  // namespace quorvane
