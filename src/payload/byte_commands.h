#pragma once

#include "server/command_context.h"

namespace quorvane {

// encrypt_bytes: seals the base64 payload `data` under the session's key (either mode); replies
// `data`, the base64 envelope.
void encryptBytesCommand(CommandContext& context);
// decrypt_bytes: opens the base64 envelope `data` (full sessions only); replies `data`, the base64
// plaintext.
void decryptBytesCommand(CommandContext& context);

}  // namespace quorvane
