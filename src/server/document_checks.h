#pragma once

#include <simdjson.h>

#include <cstddef>

namespace quorvane {

// Checks on the document a parser holds after a successful parse. Both read simdjson 3's DOM
// tape (see parser_wipe.cpp) and look at nothing but its structure.

// holdsRoundedNumber tells whether the document holds a number read as a double whose value is an
// integer from -2^63 to 2^63: its literal may have been rounded to that integer
// (1.00000000000000001, 9223372036854775807.0), so whether it is exactly one must be read from the
// literal itself.
bool holdsRoundedNumber(const simdjson::dom::parser& parser);

// nestedDeeperThan tells whether arrays and objects, the root object included and empty ones
// counted, are nested more than `levels` deep. Walks the tape only when it is long enough to be.
bool nestedDeeperThan(const simdjson::dom::parser& parser, std::size_t levels);

}  // namespace quorvane
