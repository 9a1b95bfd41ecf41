#include "server/big_integers.h"

#include <vector>

namespace quorvane {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// 20 digits may still fit in 64 bits (unsigned); from 21 on nothing does, and between the two
// the parser itself decides. Widening from 20 digits on keeps every case the parser refuses.
constexpr std::size_t kWidenFromDigits = 20;

}  // namespace

std::optional<SecretBytes> widenBigIntegers(std::string_view line, std::size_t padding) {
    std::vector<std::size_t> insertAt;  // positions right after a big integer literal
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inString) {
            if (c == '\\') ++i;  // the escaped character is skipped whatever it is
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c != '-' && !isDigit(c)) continue;
        std::size_t start = i;
        if (c == '-') ++i;
        std::size_t digitsStart = i;
        while (i < line.size() && isDigit(line[i])) ++i;
        std::size_t digits = i - digitsStart;
        bool fraction = i < line.size() && (line[i] == '.' || line[i] == 'e' || line[i] == 'E');
        if (!fraction && digits >= kWidenFromDigits) insertAt.push_back(i);
        // Skip the rest of the token (a fraction or exponent needs no change).
        while (i < line.size() && (isDigit(line[i]) || line[i] == '.' || line[i] == 'e' ||
                                   line[i] == 'E' || line[i] == '+' || line[i] == '-')) {
            ++i;
        }
        if (i > start) --i;  // the loop's ++i moves past the token
    }
    if (insertAt.empty()) return std::nullopt;

    SecretBytes widened;
    widened.reserve(line.size() + 2 * insertAt.size() + padding);
    auto bytes = [](std::string_view text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    std::size_t copied = 0;
    for (std::size_t position : insertAt) {
        widened.append(bytes(line.substr(copied, position - copied)));
        widened.append(bytes(".0"));
        copied = position;
    }
    widened.append(bytes(line.substr(copied)));
    std::size_t length = widened.size();
    widened.resize(length + padding);
    widened.resize(length);  // the padding stays allocated (and zeroed) behind the text
    return widened;
}

}  // namespace quorvane
