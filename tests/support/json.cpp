#include "support/json.h"

#include <simdjson.h>

#include <stdexcept>

namespace quorvane::testing {
namespace {

Json convert(simdjson::dom::element element) {
    using Type = simdjson::dom::element_type;
    switch (element.type()) {
        case Type::NULL_VALUE:
            return {nullptr};
        case Type::BOOL:
            return {bool(element)};
        case Type::INT64:
            return {std::int64_t(element)};
        case Type::UINT64:
            return {double(std::uint64_t(element))};
        case Type::DOUBLE:
            return {double(element)};
        case Type::STRING:
            return {std::string(std::string_view(element))};
        case Type::ARRAY: {
            std::vector<Json> items;
            for (auto item : simdjson::dom::array(element)) items.push_back(convert(item));
            return {std::move(items)};
        }
        case Type::OBJECT: {
            std::map<std::string, Json> members;
            for (auto field : simdjson::dom::object(element)) {
                members[std::string(field.key)] = convert(field.value);
            }
            return {std::move(members)};
        }
    }
    return {nullptr};
}

}  // namespace

std::vector<std::string> Json::strings() const {
    std::vector<std::string> result;
    for (const Json& item : array()) result.push_back(item.str());
    return result;
}

Json parseJson(const std::string& text) {
    simdjson::dom::parser parser;
    simdjson::dom::element element;
    if (parser.parse(text).get(element) != simdjson::SUCCESS) {
        throw std::runtime_error("not JSON: " + text.substr(0, 200));
    }
    return convert(element);
}

}  // namespace quorvane::testing
