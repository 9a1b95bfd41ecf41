#pragma once

#include <cstddef>
#include <string_view>

namespace quorvane::json {

// The text of JSON strings as the helper writes them (the quotes are the caller's): '"', '\' and
// '/' escaped with a backslash, control characters as \b \f \n \r \t or \u00XX, every other byte
// as it is (raw UTF-8). All pure; thread-safe.

// escapedLength is the length of `text` written escaped.
std::size_t escapedLength(std::string_view text) noexcept;
// writeEscaped writes `text` escaped to `out`, escapedLength(text) bytes.
void writeEscaped(std::string_view text, char* out) noexcept;

}  // namespace quorvane::json
