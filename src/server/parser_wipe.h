#pragma once

#include <cstddef>

#include <simdjson.h>

namespace quorvane {

// The DOM parser keeps its own unescaped copy of every string of the last document (passwords,
// hex keys, plaintext decrypted in place). These wipe that copy so it does not outlive the request.

// wipeParsedStrings wipes every string of the document last parsed successfully by `parser`.
void wipeParsedStrings(simdjson::dom::parser& parser);

// wipeAfterFailedParse wipes the string storage a failed parse of `lineLength` bytes may have
// written to (the parse stopped part-way, so the extent is bounded rather than known).
void wipeAfterFailedParse(simdjson::dom::parser& parser, std::size_t lineLength);

}  // namespace quorvane
