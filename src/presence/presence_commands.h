#pragma once

#include "server/command_context.h"

// The presence commands of the request protocol (wrap_touchid, reset_touchid_key,
// unwrap_touchid on the wire).
namespace quorvane {

// Wraps a full session's key to the presence key; replies blob.
void wrapPresenceCommand(CommandContext& context);
// Deletes the presence key.
void resetPresenceKeyCommand(CommandContext& context);
// After a presence prompt, opens a blob into a new full session; replies sessionId.
void unwrapPresenceCommand(CommandContext& context);

}  // namespace quorvane
