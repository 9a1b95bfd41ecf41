#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvane::json {

// ExactInteger takes the characters of one valid JSON number as they arrive and tells whether its
// value is exactly an integer that fits a signed 64-bit integer, and which. It decides from the
// number as written, never from a rounded form (9223372036854775807.0 is 2^63 - 1,
// 1.0000000000000000001 is no integer, 0e99999999999999999999 is 0), in constant memory whatever
// the number's length or exponent.
class ExactInteger {
  public:
    // take reads the next characters of the number (valid JSON number syntax is assumed).
    void take(std::string_view characters) noexcept;
    // value is the integer, or nothing when the number is not exactly one of 64 bits.
    std::optional<std::int64_t> value() const noexcept;

  private:
    bool negative_ = false;
    bool inFraction_ = false;
    bool inExponent_ = false;
    bool exponentNegative_ = false;
    bool tooLong_ = false;        // more than 19 significant digits
    std::uint64_t digits_ = 0;    // the significant digits, from the first non-zero one
    std::uint64_t count_ = 0;     // how many those are
    std::uint64_t zeros_ = 0;     // zeros after the last non-zero digit
    std::uint64_t fraction_ = 0;  // digits after the decimal point
    std::uint64_t exponent_ = 0;  // saturated
};

}  // namespace quorvane::json
