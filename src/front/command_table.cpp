#include "front/command_table.h"

#include "payload/byte_commands.h"
#include "payload/line_commands.h"
#include "payload/state_commands.h"
#include "presence/presence_commands.h"
#include "session/session_commands.h"
#include "wrap/wrap_commands.h"

namespace quorvane {
namespace {

void shutdownCommand(CommandContext& context) {
    // The loop ends at its next read, so the reply to this request is still written.
    context.shouldExit = true;
}

using enum SessionRule;

// Which commands may read a vault is a security property: it stands here, in one column, and
// CommandContext::sessionKey is the only place that enforces it.
constexpr Command kCommands[] = {
    {"create_session", none, createSessionCommand},
    {"create_session_from_secret", none, createSessionFromSecretCommand},
    {"wrap_secret", fullSession, wrapSecretCommand},
    {"unwrap_secret", none, unwrapSecretCommand},
    {"unwrap_secret_capture", none, unwrapSecretCaptureCommand},
    {"wrap_touchid", fullSession, wrapPresenceCommand},
    {"reset_touchid_key", none, resetPresenceKeyCommand},
    {"unwrap_touchid", none, unwrapPresenceCommand},
    {"lock_session", none, lockSessionCommand},
    {"encrypt_lines", anySession, encryptLinesCommand},
    {"decrypt_lines", fullSession, decryptLinesCommand},
    {"encrypt_bytes", anySession, encryptBytesCommand},
    {"decrypt_bytes", fullSession, decryptBytesCommand},
    {"encrypt_state", anySession, encryptStateCommand},
    {"decrypt_state", anySession, decryptStateCommand},
    {"shutdown", none, shutdownCommand},
};

}  // namespace

std::span<const Command> commandTable() { return kCommands; }

}  // namespace quorvane
