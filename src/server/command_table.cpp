#include "server/command_table.h"

#include "enclave/touchid_commands.h"
#include "payload/byte_commands.h"
#include "payload/line_commands.h"
#include "payload/state_commands.h"
#include "session/session_commands.h"
#include "wrap/wrap_commands.h"

namespace quorvane {
namespace {

void shutdownCommand(CommandContext& context) {
    // The loop ends at its next read, so the reply to this request is still written.
    context.shouldExit = true;
}

constexpr Command kCommands[] = {
    {"create_session", createSessionCommand},
    {"create_session_from_secret", createSessionFromSecretCommand},
    {"wrap_secret", wrapSecretCommand},
    {"unwrap_secret", unwrapSecretCommand},
    {"unwrap_secret_capture", unwrapSecretCaptureCommand},
    {"wrap_touchid", wrapTouchIdCommand},
    {"reset_touchid_key", resetTouchIdKeyCommand},
    {"unwrap_touchid", unwrapTouchIdCommand},
    {"lock_session", lockSessionCommand},
    {"encrypt_lines", encryptLinesCommand},
    {"decrypt_lines", decryptLinesCommand},
    {"encrypt_bytes", encryptBytesCommand},
    {"decrypt_bytes", decryptBytesCommand},
    {"encrypt_state", encryptStateCommand},
    {"decrypt_state", decryptStateCommand},
    {"shutdown", shutdownCommand},
};

}  // namespace

std::span<const Command> commandTable() {
    return kCommands;
}

}  // namespace quorvane
