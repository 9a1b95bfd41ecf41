#pragma once

#include <memory>

#include "platform/platform.h"

namespace quorvane {

// makeContext returns a fresh authentication context on which the presence policy can be
// evaluated now; otherwise raises HelperError "unavailable: " + the platform's reason (or
// "unavailable: no biometrics" when the platform gives none).
std::shared_ptr<platform::AuthContext> makeContext(platform::Platform& platform);

// supportsSecureEnclave answers whether a hardware-held P-256 key can be made now, by making a
// non-permanent probe key that is stored nowhere. Never raises.
bool supportsSecureEnclave(platform::Platform& platform);

// promptOnly shows one presence prompt and waits for the answer. Returns when it was passed;
// raises what makeContext raises; ends the process with status 1 (writing nothing) when not.
void promptOnly(platform::Platform& platform);

}  // namespace quorvane
