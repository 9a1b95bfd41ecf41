#pragma once

#include "server/command_context.h"

namespace quorvane {

// wrap_touchid: wraps a full session's key to the hardware-held key; replies blob.
void wrapTouchIdCommand(CommandContext& context);
// reset_touchid_key: deletes the hardware-held key pair.
void resetTouchIdKeyCommand(CommandContext& context);
// unwrap_touchid: after a presence prompt, opens a blob into a new full session; replies sessionId.
void unwrapTouchIdCommand(CommandContext& context);

}  // namespace quorvane
