#include "wrap/wrap_commands.h"

#include "front/errors.h"

namespace quorvane {

void wrapSecretCommand(CommandContext&) { throw HelperError("wrap_secret missing parameters"); }
void unwrapSecretCommand(CommandContext&) { throw HelperError("unwrap_secret missing parameters"); }
void unwrapSecretCaptureCommand(CommandContext&) {
    throw HelperError("unwrap_secret_capture missing parameters");
}

}  // namespace quorvane
