#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/secret_bytes.h"

namespace quorvane {

// Request holds the members of one request line that the protocol reads, as RequestReader decoded
// them while the line arrived; any other member is checked as JSON and not kept. When a name
// repeats, the last occurrence counts. Every value lives in SecretBytes, stays valid (and writable,
// for commands that work where it lies) until the reader starts the next line, and is wiped then.
// Asking for a member that is not kept is a programming error (std::logic_error): a command that
// reads a new member adds it to the table in request.cpp. Not thread-safe.
class Request {
  public:
    static constexpr std::size_t kKeptMembers = 10;

    Request();

    // string returns the member when it is a JSON string (escapes decoded), else nothing.
    std::optional<std::string_view> string(std::string_view name) const;
    // mutableString is string() for a command that transforms the text where it lies.
    std::optional<std::span<char>> mutableString(std::string_view name);
    // mutableStringArray returns the member's elements when it is an array of strings only (an
    // empty array qualifies), else nothing.
    std::optional<std::vector<std::span<char>>> mutableStringArray(std::string_view name);
    // integer returns the member when it is a JSON number whose value, read from the number as
    // written, is exactly an integer that fits a signed 64-bit integer (7, 7.0 and 70e-1 give 7;
    // 7.5, "7" and 9223372036854775808 give nothing).
    std::optional<std::int64_t> integer(std::string_view name) const;

    // A base64 member, decoded while it arrived: its bytes (writable), or `valid` false when the
    // text was not strict base64 (`bytes` then empty).
    struct Payload {
        std::span<std::uint8_t> bytes;
        bool valid;
    };
    // payload returns a base64 member when it is a JSON string, else nothing. Base64 members are
    // read through payload() only, other members never through it.
    std::optional<Payload> payload(std::string_view name);

    // What the reader fills in for each kept member.
    enum class Kind : std::uint8_t { absent, string, number, stringArray, other };
    struct Value {
        Kind kind = Kind::absent;
        bool base64 = false;  // a payload: `bytes` holds what its text decodes to
        bool valid = false;   // a payload whose text was strict base64
        std::optional<std::int64_t> integer;
        SecretBytes bytes;              // a string's text, or an array's strings end to end
        std::vector<std::size_t> ends;  // where each string of an array ends in `bytes`
    };
    // value returns where the member named `name` is kept, or nullptr for a name not kept.
    Value* value(std::string_view name);
    // reset wipes `value` and marks it absent, keeping its memory.
    static void reset(Value& value) noexcept;
    // clear resets every value; release also frees their memory.
    void clear() noexcept;
    void release() noexcept;

  private:
    // kept returns the member's value, raising std::logic_error for a name not kept or read as
    // the other form (text or base64) than it is kept in.
    const Value& kept(std::string_view name, bool base64) const;
    Value& kept(std::string_view name, bool base64) {
        return const_cast<Value&>(static_cast<const Request*>(this)->kept(name, base64));
    }

    std::array<Value, kKeptMembers> values_;
};

}  // namespace quorvane
