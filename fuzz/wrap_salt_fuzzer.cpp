// parseWrapSalt on any descriptor and fallback count: a descriptor of exactly four ":"-separated
// fields starting "pbkdf2", "v2" yields its own count (at least 1) and its hex salt, or one of the
// two fixed errors; anything else is a legacy descriptor returned whole with the fallback count.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "crypto/hex.h"
#include "crypto/wrap_salt.h"

namespace {

std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        std::size_t colon = text.find(':');
        parts.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) return parts;
        text.remove_prefix(colon + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first eight bytes are the fallback count, the rest the descriptor.
    std::int64_t fallback = 0;
    std::size_t countBytes = size < sizeof fallback ? size : sizeof fallback;
    std::memcpy(&fallback, data, countBytes);
    std::string_view descriptor(reinterpret_cast<const char*>(data) + countBytes,
                                size - countBytes);

    auto parts = fields(descriptor);
    bool versioned = parts.size() == 4 && parts[0] == "pbkdf2" && parts[1] == "v2";
    try {
        quorvane::ParsedWrapSalt parsed = quorvane::parseWrapSalt(descriptor, fallback);
        if (versioned) {
            if (parsed.iterations < 1 || parsed.saltHex != parts[3] ||
                !quorvane::hexData(parsed.saltHex)) {
                std::abort();
            }
        } else if (parsed.saltHex != descriptor || parsed.iterations != fallback) {
            std::abort();
        }
    } catch (const quorvane::HelperError& error) {
        if (!versioned) std::abort();
        if (error.message() != "invalid wrap iterations" && error.message() != "invalid salt hex") {
            std::abort();
        }
    }
    return 0;
}
