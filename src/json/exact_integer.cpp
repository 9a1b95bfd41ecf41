#include "json/exact_integer.h"

#include <limits>

namespace quorvane::json {
namespace {

// Larger exponents answer the question the same way: no number that fits in memory has enough
// digits to make up for them.
constexpr std::uint64_t kExponentLimit = std::uint64_t{1} << 60;

}  // namespace

void ExactInteger::take(std::string_view characters) noexcept {
    for (char c : characters) {
        if (c == '-' || c == '+') {
            (inExponent_ ? exponentNegative_ : negative_) = c == '-';
        } else if (c == '.') {
            inFraction_ = true;
        } else if (c == 'e' || c == 'E') {
            inExponent_ = true;
        } else if (auto digit = static_cast<std::uint64_t>(c - '0'); inExponent_) {
            exponent_ = exponent_ >= kExponentLimit / 10 ? kExponentLimit : exponent_ * 10 + digit;
        } else {
            fraction_ += inFraction_;
            if (digit == 0) {
                if (count_ > 0) ++zeros_;  // leading zeros say nothing
                continue;
            }
            // A non-zero digit makes the zeros before it significant.
            count_ += zeros_ + 1;
            tooLong_ = tooLong_ || count_ > 19;
            if (!tooLong_) {
                for (std::uint64_t k = 0; k <= zeros_; ++k) digits_ *= 10;
                digits_ += digit;
            }
            zeros_ = 0;
        }
    }
}

std::optional<std::int64_t> ExactInteger::value() const noexcept {
    if (count_ == 0) return 0;  // every zero, -0 and 0e999 included
    // 20 significant digits or more: at least 10^19, beyond 2^63, or else a fraction.
    if (tooLong_) return std::nullopt;
    // The value is digits * 10^scale, and the last digit is not zero: a negative scale leaves a
    // fraction.
    auto scale = static_cast<std::int64_t>(zeros_) - static_cast<std::int64_t>(fraction_) +
                 (exponentNegative_ ? -1 : 1) * static_cast<std::int64_t>(exponent_);
    if (scale < 0 || static_cast<std::int64_t>(count_) + scale > 19) return std::nullopt;
    std::uint64_t magnitude = digits_;
    for (std::int64_t k = 0; k < scale; ++k) magnitude *= 10;
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;  // |INT64_MIN|
    if (magnitude > kLimit || (magnitude == kLimit && !negative_)) return std::nullopt;
    if (magnitude == kLimit) return std::numeric_limits<std::int64_t>::min();
    return negative_ ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace quorvane::json
