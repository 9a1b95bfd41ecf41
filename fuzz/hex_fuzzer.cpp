// hexData on any text: it must never read past the text, must accept exactly the pairs of an
// optionally signed base-16 byte (two digits in either case, "+" and a digit, "-0"), and must
// round-trip with dataHex.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/hex.h"

namespace {

int digit(char c) {
    if ('0' <= c && c <= '9') return c - '0';
    if ('a' <= c && c <= 'f') return c - 'a' + 10;
    if ('A' <= c && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The expected decoding, written from the pair shapes rather than from the implementation.
std::optional<std::string> expected(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char a = text[i], b = text[i + 1];
        if (digit(a) >= 0 && digit(b) >= 0)
            bytes.push_back(static_cast<char>(digit(a) * 16 + digit(b)));
        else if (a == '+' && digit(b) >= 0)
            bytes.push_back(static_cast<char>(digit(b)));
        else if (a == '-' && b == '0')
            bytes.push_back('\0');
        else
            return std::nullopt;
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto decoded = quorvane::hexData(text);
    auto want = expected(text);
    if (decoded.has_value() != want.has_value()) std::abort();
    if (decoded && decoded->view() != *want) std::abort();

    // Any bytes written as hex read back unchanged, in either case.
    std::string hex = quorvane::dataHex({data, size});
    if (hex.size() != 2 * size) std::abort();
    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string_view original(reinterpret_cast<const char*>(data), size);
    for (const std::string& form : {hex, upper}) {
        auto back = quorvane::hexData(form);
        if (!back || back->view() != original) std::abort();
    }
    return 0;
}
