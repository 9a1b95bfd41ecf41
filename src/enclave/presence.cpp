#include "enclave/presence.h"

#include "front/errors.h"

namespace quorvane {

std::shared_ptr<platform::AuthContext> makeContext(platform::Platform&) {
    throw HelperError("unavailable: not implemented");
}
bool supportsSecureEnclave(platform::Platform&) { return false; }
void promptOnly(platform::Platform& platform) { makeContext(platform); }

}  // namespace quorvane
