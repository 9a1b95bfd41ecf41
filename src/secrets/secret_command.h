#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/item_store.h"

namespace quorvane {

// argumentValue returns the argument right after the first argument equal to `flag` (whatever
// it looks like, even empty or another flag), or nothing when the flag is absent or last.
std::optional<std::string_view> argumentValue(std::span<const std::string_view> arguments,
                                              std::string_view flag);

// What a secret command leaves for the mode runner: the exit status, the answer for standard
// output (on success), or the message for standard error (on failure).
struct SecretCommandResult {
    int status = 0;
    SecretBytes output;  // "ok" or the loaded secret, written with no line feed
    std::string error;   // empty on success
};

// runSecretCommand runs "store", "load" or "delete" for the secret named by --service and
// --account: status 0 with "ok" or the loaded secret; 5 when service or account is absent or
// empty (checked before standard input is read or `store` is called); 6 with the error text on
// any other failure. A store reads the secret from standard input to its end. Never raises.
SecretCommandResult runSecretCommand(std::string_view command,
                                     std::span<const std::string_view> arguments,
                                     const std::function<platform::ItemStore&()>& store);

}  // namespace quorvane
