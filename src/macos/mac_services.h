#pragma once

#include <memory>

#include "macos/security_framework.h"
#include "platform/services.h"

namespace quorvane::platform {

// makeMacServices returns the macOS adapters over `framework`, which must outlive the result.
std::unique_ptr<Services> makeMacServices(SecurityFramework& framework);

}  // namespace quorvane::platform
