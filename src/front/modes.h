#pragma once

#include <span>
#include <string_view>

namespace quorvane {

// runHelper chooses the mode from `arguments` (the arguments after the program name) and runs
// it. A flag counts only as a whole argument; flags are tested in a fixed order and the first
// found decides. Returns the exit status for modes that return; the one-shot modes may end the
// process themselves.
int runHelper(std::span<const std::string_view> arguments);

}  // namespace quorvane
