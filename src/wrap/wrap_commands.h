#pragma once

#include "server/command_context.h"

namespace quorvane {

// wrap_secret: seals a full session's key under a password; replies salt, blob, iterations.
void wrapSecretCommand(CommandContext& context);
// unwrap_secret: opens a password-wrapped key into a new full session; replies sessionId.
void unwrapSecretCommand(CommandContext& context);
// unwrap_secret_capture: the same, into a new capture session.
void unwrapSecretCaptureCommand(CommandContext& context);

}  // namespace quorvane
