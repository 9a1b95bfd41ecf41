#include "crypto/hex.h"

#include "crypto/random.h"

namespace quorvane {
namespace {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one pair as an optionally signed base-16 number in 0...255. For two characters that
// leaves exactly: two digits, "+" and a digit, or "-0".
int pairValue(char first, char second) {
    int low = hexDigitValue(second);
    if (low < 0) return -1;
    if (first == '+') return low;
    if (first == '-') return low == 0 ? 0 : -1;
    int high = hexDigitValue(first);
    if (high < 0) return -1;
    return high * 16 + low;
}

}  // namespace

std::optional<SecretBytes> hexData(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    SecretBytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = pairValue(text[i], text[i + 1]);
        if (value < 0) return std::nullopt;  // `bytes` wipes what it decoded so far
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

void dataHexInto(std::span<const std::uint8_t> bytes, char* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
}

std::string dataHex(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.size() * 2, '\0');
    dataHexInto(bytes, text.data());
    return text;
}

SecretBytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
    std::size_t total = 0;
    for (auto part : parts) total += part.size();
    SecretBytes joined;
    joined.reserve(total);
    for (auto part : parts) joined.append(part);
    return joined;
}

std::string randomHex(std::size_t bytes) {
    SecretBytes random(bytes);
    randomBytes(random.span());
    return dataHex(random.span());
}

}  // namespace quorvane
