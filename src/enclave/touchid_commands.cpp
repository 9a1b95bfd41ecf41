#include "enclave/touchid_commands.h"

#include "enclave/touchid_wrap.h"
#include "front/errors.h"

namespace quorvane {

void wrapTouchIdCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    if (!sessionId) throw HelperError("wrap_touchid missing sessionId");
    std::string blob = wrapTouchIdForSession(context.platform, context.sessions, *sessionId);
    context.reply.addString("blob", blob);
}

void resetTouchIdKeyCommand(CommandContext& context) { resetTouchIdKey(context.platform()); }

void unwrapTouchIdCommand(CommandContext& context) {
    auto blob = context.request.string("blob");
    if (!blob) throw HelperError("unwrap_touchid missing blob");
    std::string sessionId = unwrapTouchIdToSession(context.platform(), context.sessions, *blob);
    context.reply.addString("sessionId", sessionId);
}

}  // namespace quorvane
