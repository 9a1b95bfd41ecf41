#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace quorvane::testing {

// A decoded JSON value, enough for comparing replies in tests.
struct Json {
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, std::vector<Json>,
                 std::map<std::string, Json>>
        value;

    bool isObject() const { return std::holds_alternative<std::map<std::string, Json>>(value); }
    const std::map<std::string, Json>& object() const {
        return std::get<std::map<std::string, Json>>(value);
    }
    // Member access for objects; throws when absent.
    const Json& operator[](const std::string& name) const { return object().at(name); }
    bool has(const std::string& name) const { return isObject() && object().count(name) > 0; }
    const std::string& str() const { return std::get<std::string>(value); }
    std::int64_t integer() const { return std::get<std::int64_t>(value); }
    bool boolean() const { return std::get<bool>(value); }
    const std::vector<Json>& array() const { return std::get<std::vector<Json>>(value); }
    std::vector<std::string> strings() const;
    bool operator==(const Json& other) const { return value == other.value; }
};

// parseJson decodes one JSON text; throws std::runtime_error when it is not valid JSON.
Json parseJson(const std::string& text);

}  // namespace quorvane::testing
