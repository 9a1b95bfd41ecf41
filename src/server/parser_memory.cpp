#include "server/parser_memory.h"

#include <algorithm>

#include "os/memory.h"

namespace quorvane {
namespace {

// The size simdjson 3 gives the string buffer of a document of `capacity` bytes.
std::size_t stringBufferBytes(std::size_t capacity) {
    return (5 * capacity / 3 + simdjson::SIMDJSON_PADDING + 63) / 64 * 64;
}

std::size_t lockedHead(std::size_t capacity) {
    return std::min(stringBufferBytes(capacity), kLockedStringBytes);
}

}  // namespace

void prepareParser(simdjson::dom::parser& parser, std::size_t length) {
    std::size_t desired = std::max(length, simdjson::dom::MINIMAL_DOCUMENT_CAPACITY);
    if (desired > parser.max_capacity()) return;  // the parse refuses it
    if (parser.capacity() < desired || parser.max_depth() != kParserMaxDepth) {
        if (parser.allocate(std::max(desired, parser.capacity()), kParserMaxDepth) !=
            simdjson::SUCCESS) {
            return;
        }
    }
    simdjson::dom::document& document = parser.doc;
    if (document.capacity() >= desired) return;
    // Wiped after every line, so the old buffer holds nothing by now.
    if (document.string_buf) {
        os::unlockRegion(document.string_buf.get(), lockedHead(document.capacity()));
    }
    if (document.allocate(desired) != simdjson::SUCCESS) return;
    std::uint8_t* strings = document.string_buf.get();
    os::excludeFromDumps(strings, stringBufferBytes(document.capacity()));
    (void)os::lockRegion(strings, lockedHead(document.capacity()));
}

}  // namespace quorvane
