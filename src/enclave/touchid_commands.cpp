#include "enclave/touchid_commands.h"

#include "front/errors.h"

namespace quorvane {

void wrapTouchIdCommand(CommandContext&) { throw HelperError("not implemented"); }
void resetTouchIdKeyCommand(CommandContext&) { throw HelperError("not implemented"); }
void unwrapTouchIdCommand(CommandContext&) { throw HelperError("not implemented"); }

}  // namespace quorvane
