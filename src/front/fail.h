#pragma once

#include <string_view>

namespace quorvane {

// fail writes `message` and one line feed to standard error in a single write and ends the
// process with `code` (through exit, so buffered standard output is flushed; the one-shot modes
// never have any pending when they fail). Used by the one-shot modes only; never returns.
[[noreturn]] void fail(std::string_view message, int code = 1);

}  // namespace quorvane
