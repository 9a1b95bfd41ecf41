#pragma once

#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace quorvane {

// deletePrivateKey removes the hardware-held vault key pair; a missing key is success. Raises
// HelperError "secure enclave key delete failed: <status>" otherwise.
void deletePrivateKey(platform::Platform& platform);

}  // namespace quorvane
