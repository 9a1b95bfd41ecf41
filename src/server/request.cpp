#include "server/request.h"

#include <cmath>

namespace quorvane {

std::optional<simdjson::dom::element> Request::member(std::string_view name) const {
    std::optional<simdjson::dom::element> found;
    for (auto field : object_) {
        if (field.key == name) found = field.value;
    }
    return found;
}

std::optional<std::string_view> Request::string(std::string_view name) const {
    auto value = member(name);
    if (!value || !value->is_string()) return std::nullopt;
    return std::string_view(*value);
}

std::optional<std::int64_t> Request::integer(std::string_view name) const {
    auto value = member(name);
    if (!value) return std::nullopt;
    switch (value->type()) {
        case simdjson::dom::element_type::INT64:
            return std::int64_t(*value);
        case simdjson::dom::element_type::DOUBLE: {
            double number = double(*value);
            // [-2^63, 2^63): both bounds are exact doubles, so the comparison is exact.
            if (std::trunc(number) != number || number < -9223372036854775808.0 ||
                number >= 9223372036854775808.0) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(number);
        }
        default:  // UINT64 holds only values above INT64_MAX; others are not numbers
            return std::nullopt;
    }
}

std::optional<std::vector<std::string_view>> Request::stringArray(std::string_view name) const {
    auto value = member(name);
    if (!value || !value->is_array()) return std::nullopt;
    simdjson::dom::array array(*value);
    std::vector<std::string_view> strings;
    strings.reserve(array.size());
    for (simdjson::dom::element element : array) {
        if (!element.is_string()) return std::nullopt;
        strings.emplace_back(element);
    }
    return strings;
}

}  // namespace quorvane

namespace quorvane {
namespace {

std::span<char> writable(std::string_view text) {
    // DOM strings live in the parser's string buffer, which this process owns and may rewrite.
    return {const_cast<char*>(text.data()), text.size()};
}

}  // namespace

std::optional<std::span<char>> Request::mutableString(std::string_view name) const {
    auto text = string(name);
    if (!text) return std::nullopt;
    return writable(*text);
}

std::optional<std::vector<std::span<char>>> Request::mutableStringArray(
    std::string_view name) const {
    auto texts = stringArray(name);
    if (!texts) return std::nullopt;
    std::vector<std::span<char>> spans;
    spans.reserve(texts->size());
    for (std::string_view text : *texts) spans.push_back(writable(text));
    return spans;
}

}  // namespace quorvane
