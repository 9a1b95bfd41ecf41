#include "enclave/touchid_commands.h"

#include "base/errors.h"
#include "enclave/touchid_wrap.h"

namespace quorvane {

void wrapTouchIdCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    if (!sessionId) throw HelperError("wrap_touchid missing sessionId");
    // The session is looked up first, so a refused session never creates a key pair.
    const SecretBytes& vaultKey = context.sessionKey(*sessionId);
    context.reply.addString("blob", wrapTouchIdForSession(context.services.keys(), vaultKey));
}

void resetTouchIdKeyCommand(CommandContext& context) { resetTouchIdKey(context.services.keys()); }

void unwrapTouchIdCommand(CommandContext& context) {
    auto blob = context.request.string("blob");
    if (!blob) throw HelperError("unwrap_touchid missing blob");
    std::string sessionId =
        unwrapTouchIdToSession(context.services.keys(), context.sessions, *blob, context.input);
    context.reply.addString("sessionId", sessionId);
}

}  // namespace quorvane
