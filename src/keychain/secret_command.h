#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/platform.h"

namespace quorvane {

// argumentValue returns the argument right after the first argument equal to `flag` (whatever
// it looks like, even empty or another flag), or nothing when the flag is absent or last.
std::optional<std::string_view> argumentValue(std::span<const std::string_view> arguments,
                                              std::string_view flag);

// runSecretCommand runs "store", "load" or "delete" for the item named by --service and
// --account, and ends the process: status 0 on success, with "ok" or the loaded secret on standard
// output and no line feed; 5 when service or account is absent or empty (checked before standard
// input is read or `platform` is called); 6 on any other failure, with the error text and one line
// feed on standard error and nothing on standard output. An answer that cannot be written whole
// to standard output also ends with 6 ("standard output write failed").
[[noreturn]] void runSecretCommand(std::string_view command,
                                   std::span<const std::string_view> arguments,
                                   platform::Platform& (*platform)());

}  // namespace quorvane
