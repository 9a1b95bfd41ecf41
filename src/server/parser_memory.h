#pragma once

#include <simdjson.h>

#include <cstddef>

namespace quorvane {

// Requests are nested at most this deep, counting the request object itself as the first level
// and every array and object inside it, empty or not.
inline constexpr std::size_t kMaxNesting = 1024;

inline constexpr std::size_t kLockedStringBytes = 16 * 1024;

// prepareParser makes `parser` ready to parse a line of `length` bytes without allocating during
// the parse: a larger document is allocated first when needed (exactly as large as the parser
// would make it itself), and the head of its string buffer, where the unescaped strings of every
// request (passwords, hex keys, plaintext decrypted in place) begin, is locked in memory and the
// whole buffer kept out of core dumps. The lock covers the first kLockedStringBytes only, so bulk
// requests cannot use up the memory-lock limit that session keys need; the lock is released
// before a buffer is replaced. Allocation failures are left for the parse to report.
void prepareParser(simdjson::dom::parser& parser, std::size_t length);

// The nesting the parser itself allows: it does not count an empty array or object as a level,
// so it lets one more level through, which nestedDeeperThan (document_checks.h) then refuses.
inline constexpr std::size_t kParserMaxDepth = kMaxNesting + 1;

}  // namespace quorvane
