#include "server/document_checks.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace quorvane {
namespace {

constexpr std::uint64_t kPayload = simdjson::internal::JSON_VALUE_MASK;

char typeOf(std::uint64_t word) { return static_cast<char>(word >> 56); }

// Number words are followed by a second word holding the value.
std::size_t wordsOf(char type) { return (type == 'l' || type == 'u' || type == 'd') ? 2 : 1; }

// The index of the closing root word: the tape ends there.
std::size_t tapeEnd(const std::uint64_t* tape) {
    return static_cast<std::size_t>(tape[0] & kPayload);
}

}  // namespace

bool holdsRoundedNumber(const simdjson::dom::parser& parser) {
    const std::uint64_t* tape = parser.doc.tape.get();
    if (tape == nullptr) return false;
    std::size_t end = tapeEnd(tape);
    for (std::size_t i = 1; i < end; i += wordsOf(typeOf(tape[i]))) {
        if (typeOf(tape[i]) != 'd') continue;
        double value = 0;
        std::memcpy(&value, &tape[i + 1], sizeof value);
        if (std::trunc(value) == value && value >= -9223372036854775808.0 &&
            value <= 9223372036854775808.0) {
            return true;
        }
    }
    return false;
}

bool nestedDeeperThan(const simdjson::dom::parser& parser, std::size_t levels) {
    const std::uint64_t* tape = parser.doc.tape.get();
    if (tape == nullptr) return false;
    std::size_t end = tapeEnd(tape);
    // Each level takes an opening and a closing word at least.
    if (end < 2 * levels) return false;
    std::size_t depth = 0;
    for (std::size_t i = 1; i < end; i += wordsOf(typeOf(tape[i]))) {
        char type = typeOf(tape[i]);
        if (type == '{' || type == '[') {
            if (++depth > levels) return true;
        } else if (type == '}' || type == ']') {
            --depth;
        }
    }
    return false;
}

}  // namespace quorvane
