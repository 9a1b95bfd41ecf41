#pragma once

#include <optional>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// The JSON parser refuses integer literals beyond 64 bits, although they are valid JSON. Such a
// request is still one JSON object and must be answered as one (its `id` then reads as 0).
// widenBigIntegers returns a copy of `line` in which every integer literal outside strings that
// has more digits than fit 64 bits is written as a decimal fraction ("…0" becomes "….0"), which
// the parser reads as a double; nothing when `line` holds no such literal. The copy carries the
// request's secrets, so it is SecretBytes, with `padding` spare bytes after it for the parser.
std::optional<SecretBytes> widenBigIntegers(std::string_view line, std::size_t padding);

}  // namespace quorvane
