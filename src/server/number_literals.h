#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// The JSON parser holds numbers in 64-bit integers and doubles. It refuses valid literals beyond
// them (-9223372036854775809, 1e400, 100000000000000000000) and rounds others
// (9223372036854775807.0 becomes 2^63, 1.0000000000000000000001 becomes 1). A request member is
// read as a number only to ask whether it is exactly an integer that fits a signed 64-bit
// integer, so a line holding such literals is parsed again from a copy in which every number says
// just that, exactly.

// exactInteger returns the value of the JSON number literal `literal` when it is exactly an
// integer that fits a signed 64-bit integer ("7", "7.0", "70e-1", "-0", "1E2"), and nothing for
// any other value or for text that is not a JSON number literal ("01", "1.", "+1", "1e").
// Exponents of any size are read exactly. Pure; thread-safe.
std::optional<std::int64_t> exactInteger(std::string_view literal);

// writeNumbersExactly returns a copy of `line` in which every JSON number literal outside strings
// is replaced: by its integer in plain decimal when exactInteger gives one, otherwise by "0.5",
// which reads as a number that is no such integer. Text that is not a valid number literal is
// left as it is, so a line that is not JSON stays one. Nothing when `line` holds no literal that
// needs it (one with a fraction, an exponent, or more than 18 digits). The copy carries the
// request's secrets, so it is SecretBytes, with `padding` zeroed bytes after it for the parser.
std::optional<SecretBytes> writeNumbersExactly(std::string_view line, std::size_t padding);

}  // namespace quorvane
