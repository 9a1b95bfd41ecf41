#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <simdjson.h>

namespace quorvane {

// Request is one decoded request object. Member lookups follow dictionary semantics: when a
// name occurs more than once the last occurrence counts. Views point into the parser's memory
// and are valid until the next line is parsed.
class Request {
public:
    explicit Request(simdjson::dom::object object) : object_(object) {}

    // string returns the member when it is a JSON string, else nothing.
    std::optional<std::string_view> string(std::string_view name) const;
    // mutableString is string() for a command that transforms the text in place (decoding
    // base64 where it lies, for instance). The bytes are the parser's own copy of the unescaped
    // text, valid and writable until the next line is parsed; the server wipes them afterwards.
    std::optional<std::span<char>> mutableString(std::string_view name) const;
    // mutableStringArray is stringArray() with writable elements, as mutableString.
    std::optional<std::vector<std::span<char>>> mutableStringArray(std::string_view name) const;
    // integer returns the member when it is a JSON number whose value is exactly an integer
    // that fits a signed 64-bit integer (7 and 7.0 give 7; 7.5, "7", 2^63 give nothing).
    std::optional<std::int64_t> integer(std::string_view name) const;
    // stringArray returns the member's elements when it is an array of strings only (an empty
    // array qualifies), else nothing.
    std::optional<std::vector<std::string_view>> stringArray(std::string_view name) const;

private:
    std::optional<simdjson::dom::element> member(std::string_view name) const;
    simdjson::dom::object object_;
};

}  // namespace quorvane
