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

// For text in which nothing but '/' needs escaping (base64), at about the speed of a copy:
// solidusCount is how many '/' `text` holds (the escaped length is its size plus that);
// writeSolidusEscaped writes `text` with each '/' as "\/" to `out`, which has room for `room`
// bytes, at least the escaped length, and returns the length written.
std::size_t solidusCount(std::string_view text) noexcept;
std::size_t writeSolidusEscaped(std::string_view text, char* out, std::size_t room) noexcept;

}  // namespace quorvane::json
