#pragma once

#include "server/command_context.h"

namespace quorvane {

// create_session: opens a full session with a new random key; replies sessionId.
void createSessionCommand(CommandContext& context);
// create_session_from_secret: opens a full session with the key given as 64 hex digits in
// `secret`; any other input fails with "create_session_from_secret missing or invalid secret".
void createSessionFromSecretCommand(CommandContext& context);
// lock_session: drops the session named by `sessionId` (a string, possibly unknown or empty).
void lockSessionCommand(CommandContext& context);

}  // namespace quorvane
