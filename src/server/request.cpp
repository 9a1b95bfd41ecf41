#include "server/request.h"

#include <stdexcept>
#include <string>

namespace quorvane {
namespace {

struct Member {
    std::string_view name;
    bool base64;
};

// Every member a command reads. `data` carries the bulk payloads: it is decoded from base64 as the
// line streams in, so its text is never held whole beside its bytes.
constexpr Member kMembers[] = {
    {"id", false},   {"cmd", false},  {"sessionId", false},  {"secret", false},
    {"salt", false}, {"blob", false}, {"iterations", false}, {"lines", false},
    {"line", false}, {"data", true},
};
static_assert(std::size(kMembers) == Request::kKeptMembers);

std::optional<std::size_t> indexOf(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kMembers); ++i) {
        if (kMembers[i].name == name) return i;
    }
    return std::nullopt;
}

std::span<char> textOf(SecretBytes& bytes, std::size_t from, std::size_t to) {
    return {reinterpret_cast<char*>(bytes.data()) + from, to - from};
}

}  // namespace

Request::Request() {
    for (std::size_t i = 0; i < std::size(kMembers); ++i) values_[i].base64 = kMembers[i].base64;
}

const Request::Value& Request::kept(std::string_view name, bool base64) const {
    auto index = indexOf(name);
    if (!index || kMembers[*index].base64 != base64) {
        throw std::logic_error("request member not kept in this form: " + std::string(name));
    }
    return values_[*index];
}

Request::Value* Request::value(std::string_view name) {
    auto index = indexOf(name);
    return index ? &values_[*index] : nullptr;
}

std::optional<std::string_view> Request::string(std::string_view name) const {
    const Value& value = kept(name, false);
    if (value.kind != Kind::string) return std::nullopt;
    return value.bytes.view();
}

std::optional<std::span<char>> Request::mutableString(std::string_view name) {
    Value& value = kept(name, false);
    if (value.kind != Kind::string) return std::nullopt;
    return textOf(value.bytes, 0, value.bytes.size());
}

std::optional<std::vector<std::span<char>>> Request::mutableStringArray(std::string_view name) {
    Value& value = kept(name, false);
    if (value.kind != Kind::stringArray) return std::nullopt;
    std::vector<std::span<char>> strings;
    strings.reserve(value.ends.size());
    std::size_t start = 0;
    for (std::size_t end : value.ends) {
        strings.push_back(textOf(value.bytes, start, end));
        start = end;
    }
    return strings;
}

std::optional<std::int64_t> Request::integer(std::string_view name) const {
    const Value& value = kept(name, false);
    if (value.kind != Kind::number) return std::nullopt;
    return value.integer;
}

std::optional<Request::Payload> Request::payload(std::string_view name) {
    Value& value = kept(name, true);
    if (value.kind != Kind::string) return std::nullopt;
    return Payload{value.bytes.span(), value.valid};
}

void Request::reset(Value& value) noexcept {
    value.kind = Kind::absent;
    value.valid = false;
    value.integer.reset();
    value.bytes.resize(0);
    value.ends.clear();
}

void Request::clear() noexcept {
    for (Value& value : values_) reset(value);
}

void Request::release() noexcept {
    for (Value& value : values_) {
        reset(value);
        value.bytes.clear();
        value.ends = {};
    }
}

}  // namespace quorvane
