#include "server/number_literals.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace quorvane {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A number token as the line scanner sees it: the longest run of characters numbers are made of.
bool numberCharacter(char c) {
    return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Larger exponents are equivalent for every question asked here: no literal of a line that fits
// in memory has that many digits to cancel them.
constexpr std::int64_t kExponentLimit = std::int64_t{1} << 60;

// The parts of a valid literal: sign, significant digits (integer and fraction digits together)
// and the power of ten that scales them.
struct Decimal {
    bool negative = false;
    std::string_view integerDigits;
    std::string_view fractionDigits;
    std::int64_t exponent = 0;
};

std::optional<Decimal> parseLiteral(std::string_view text) {
    Decimal decimal;
    std::size_t i = 0;
    auto digitsFrom = [&](std::size_t start) {
        while (i < text.size() && isDigit(text[i])) ++i;
        return text.substr(start, i - start);
    };
    if (i < text.size() && text[i] == '-') {
        decimal.negative = true;
        ++i;
    }
    decimal.integerDigits = digitsFrom(i);
    if (decimal.integerDigits.empty()) return std::nullopt;
    if (decimal.integerDigits.size() > 1 && decimal.integerDigits[0] == '0') return std::nullopt;
    if (i < text.size() && text[i] == '.') {
        ++i;
        decimal.fractionDigits = digitsFrom(i);
        if (decimal.fractionDigits.empty()) return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        std::string_view digits = digitsFrom(i);
        if (digits.empty()) return std::nullopt;
        std::int64_t exponent = 0;
        for (char c : digits) {
            exponent = exponent >= kExponentLimit / 10 ? kExponentLimit : exponent * 10 + (c - '0');
        }
        decimal.exponent = negativeExponent ? -exponent : exponent;
    }
    if (i != text.size()) return std::nullopt;
    return decimal;
}

}  // namespace

std::optional<std::int64_t> exactInteger(std::string_view literal) {
    std::optional<Decimal> decimal = parseLiteral(literal);
    if (!decimal) return std::nullopt;
    // The significant digits without leading or trailing zeros; trailing zeros move into the
    // exponent.
    std::string digits(decimal->integerDigits);
    digits += decimal->fractionDigits;
    std::int64_t exponent =
        decimal->exponent - static_cast<std::int64_t>(decimal->fractionDigits.size());
    std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;  // every zero, -0 and 0e999 included
    std::size_t last = digits.find_last_not_of('0');
    exponent += static_cast<std::int64_t>(digits.size() - 1 - last);
    digits = digits.substr(first, last - first + 1);
    // The last digit is not zero, so a negative exponent leaves a fraction.
    if (exponent < 0) return std::nullopt;
    // 2^63 has 19 digits: anything longer is out of range.
    if (static_cast<std::int64_t>(digits.size()) + exponent > 19) return std::nullopt;
    // At most 19 digits: below 10^19, which fits 64 unsigned bits.
    std::uint64_t magnitude = 0;
    for (char c : digits) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    for (std::int64_t k = 0; k < exponent; ++k) magnitude *= 10;
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;  // |INT64_MIN|
    if (decimal->negative) {
        if (magnitude > kLimit) return std::nullopt;
        if (magnitude == kLimit) return std::numeric_limits<std::int64_t>::min();
        return -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude >= kLimit) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::optional<SecretBytes> writeNumbersExactly(std::string_view line, std::size_t padding) {
    struct Replacement {
        std::size_t start, end;
        std::string text;
    };
    std::vector<Replacement> replacements;
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;  // the escaped character is skipped whatever it is
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (!numberCharacter(c)) continue;
        std::size_t start = i;
        while (i < line.size() && numberCharacter(line[i])) ++i;
        std::string_view token = line.substr(start, i - start);
        --i;  // the loop's ++i moves past the token
        // Plain integers of up to 18 digits are read exactly by the parser already.
        std::size_t digits = token.size() - (token[0] == '-' ? 1 : 0);
        if (token.find_first_of(".eE") == std::string_view::npos && digits <= 18) continue;
        if (!parseLiteral(token)) continue;  // not a number: the parser refuses the line
        std::optional<std::int64_t> value = exactInteger(token);
        replacements.push_back(
            {start, start + token.size(), value ? std::to_string(*value) : "0.5"});
    }
    if (replacements.empty()) return std::nullopt;

    std::size_t length = line.size();
    for (const Replacement& r : replacements) length = length - (r.end - r.start) + r.text.size();
    SecretBytes exact;
    exact.reserve(length + padding);
    auto bytes = [](std::string_view text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    std::size_t copied = 0;
    for (const Replacement& r : replacements) {
        exact.append(bytes(line.substr(copied, r.start - copied)));
        exact.append(bytes(r.text));
        copied = r.end;
    }
    exact.append(bytes(line.substr(copied)));
    exact.resize(length + padding);
    exact.resize(length);  // the padding stays allocated (and zeroed) behind the text
    return exact;
}

}  // namespace quorvane
