#pragma once

#include <string_view>

namespace quorvane {

// fail writes `message` and one line feed to standard error in a single write, flushes standard
// output, and ends the process with `code`. Used by the one-shot modes only; never returns.
[[noreturn]] void fail(std::string_view message, int code = 1);

}  // namespace quorvane
