#include "crypto/random.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>

#include "base/platform_error.h"

namespace quorvane {

void randomBytes(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        std::size_t chunk = std::min<std::size_t>(out.size() - done, INT_MAX);
        if (RAND_bytes(out.data() + done, static_cast<int>(chunk)) != 1) {
            throw PlatformError("random generator failed");
        }
        done += chunk;
    }
}

}  // namespace quorvane
