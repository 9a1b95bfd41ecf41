#pragma once

#include "server/command_context.h"

namespace quorvane {

// encrypt_lines: seals each string of `lines` under the session's key (either mode); replies
// `lines` with one base64 envelope per input line, in order. All or nothing.
void encryptLinesCommand(CommandContext& context);
// decrypt_lines: opens each base64 envelope of `lines` (full sessions only); replies the
// plaintext lines. Fails as a whole at the first bad line.
void decryptLinesCommand(CommandContext& context);

}  // namespace quorvane
