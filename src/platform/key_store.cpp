#include "platform/key_store.h"

#include "base/platform_error.h"
#include "crypto/ecies.h"

namespace quorvane::platform {

void refuseMalformedBlob(std::span<const std::uint8_t> blob) {
    try {
        ecies::checkShape(blob);
    } catch (const PlatformError& failure) {
        throw KeyStoreError(KeyStoreError::Step::decrypt, failure.description());
    }
}

}  // namespace quorvane::platform
