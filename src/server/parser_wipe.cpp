#include "server/parser_wipe.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "crypto/secret_bytes.h"

// This reads the DOM tape layout of simdjson 3 (the version Debian ships): each tape word holds
// a type character in its top byte; string words point into doc.string_buf at a 4-byte length,
// the bytes and a NUL; numbers take a second word.
static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 3,
              "the tape walk below follows simdjson 3's layout");

namespace quorvane {

void wipeParsedStrings(simdjson::dom::parser& parser) {
    const std::uint64_t* tape = parser.doc.tape.get();
    std::uint8_t* strings = parser.doc.string_buf.get();
    if (tape == nullptr || strings == nullptr) return;
    constexpr std::uint64_t kPayload = simdjson::internal::JSON_VALUE_MASK;
    std::size_t end = static_cast<std::size_t>(tape[0] & kPayload);  // index of the closing root
    std::size_t stringsEnd = 0;
    for (std::size_t i = 1; i < end;) {
        auto type = static_cast<char>(tape[i] >> 56);
        if (type == '"') {
            std::size_t offset = static_cast<std::size_t>(tape[i] & kPayload);
            std::uint32_t length = 0;
            std::memcpy(&length, strings + offset, sizeof length);
            stringsEnd = std::max(stringsEnd, offset + sizeof length + length + 1);
        }
        i += (type == 'l' || type == 'u' || type == 'd') ? 2 : 1;
    }
    wipeMemory(strings, stringsEnd);
}

void wipeAfterFailedParse(simdjson::dom::parser& parser, std::size_t lineLength) {
    std::uint8_t* strings = parser.doc.string_buf.get();
    if (strings == nullptr || parser.capacity() == 0) return;
    // Unescaped text is never longer than its source, and each string adds 5 bytes of framing
    // (at most one string per two source bytes); the buffer itself holds 5/3 of the capacity.
    std::size_t bound = lineLength + 5 * (lineLength / 2 + 1);
    std::size_t capacity = 5 * parser.capacity() / 3;
    wipeMemory(strings, std::min(bound, capacity));
}

}  // namespace quorvane
