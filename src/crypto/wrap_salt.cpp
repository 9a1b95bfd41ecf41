#include "crypto/wrap_salt.h"

#include <charconv>
#include <limits>
#include <vector>

#include "base/errors.h"
#include "base/process_values.h"
#include "crypto/hex.h"
#include "crypto/pbkdf2.h"

namespace quorvane {
namespace {

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = text.find(':', start);
        if (colon == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
}

// An optional "+" or "-" and one or more ASCII digits, nothing else, fitting 64 bits.
std::optional<std::int64_t> parseCount(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // Parse the magnitude unsigned so that -9223372036854775808 fits too.
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (negative) {
        if (magnitude > kMax + 1) return std::nullopt;
        return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                     : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > kMax) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

}  // namespace

ParsedWrapSalt parseWrapSalt(std::string_view descriptor, std::int64_t fallbackIterations) {
    std::vector<std::string_view> fields = splitFields(descriptor);
    bool versioned = fields.size() == 4 &&
                     std::string(fields[0]) + ":" + std::string(fields[1]) == values::wrapV2Prefix;
    if (!versioned) return {std::string(descriptor), fallbackIterations};

    std::optional<std::int64_t> count = parseCount(fields[2]);
    if (!count || *count < 1) throw HelperError("invalid wrap iterations");
    if (!hexData(fields[3])) throw HelperError("invalid salt hex");
    return {std::string(fields[3]), *count};
}

namespace {

// checkedSalt decodes the salt and checks the count as pbkdf2 does before any work.
SecretBytes checkedSalt(std::string_view saltHex, std::int64_t iterations) {
    std::optional<SecretBytes> salt = hexData(saltHex);
    if (!salt) throw HelperError("invalid salt hex");
    // The primitive takes an unsigned 32-bit count; anything else would be truncated into a
    // different (weaker) derivation, so it is refused outright.
    if (iterations < 0 || iterations > std::numeric_limits<std::uint32_t>::max()) {
        throw HelperError("wrap iterations out of range");
    }
    return std::move(*salt);
}

}  // namespace

SecretBytes pbkdf2(std::string_view secret, std::string_view saltHex, std::int64_t iterations) {
    SecretBytes salt = checkedSalt(saltHex, iterations);
    SecretBytes key(32);
    std::span<const std::uint8_t> password(reinterpret_cast<const std::uint8_t*>(secret.data()),
                                           secret.size());
    int status =
        pbkdf2HmacSha256(password, salt.span(), static_cast<std::uint32_t>(iterations), key.span());
    if (status != 0) throw HelperError("pbkdf2 derive failed: " + std::to_string(status));
    return key;
}

void checkWrapKeyInputs(std::string_view saltDescriptor, std::int64_t iterations) {
    ParsedWrapSalt parsed = parseWrapSalt(saltDescriptor, iterations);
    checkedSalt(parsed.saltHex, parsed.iterations);
    // The primitive refuses a zero count at once, and its status is part of the text: let it say
    // so itself.
    if (parsed.iterations == 0) pbkdf2({}, parsed.saltHex, 0);
}

SecretBytes deriveWrapKey(std::string_view secret, std::string_view saltDescriptor,
                          std::int64_t iterations) {
    ParsedWrapSalt parsed = parseWrapSalt(saltDescriptor, iterations);
    return pbkdf2(secret, parsed.saltHex, parsed.iterations);
}

}  // namespace quorvane
