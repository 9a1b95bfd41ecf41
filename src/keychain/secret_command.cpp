#include "keychain/secret_command.h"

#include "front/exit_status.h"
#include "front/fail.h"

namespace quorvane {

std::optional<std::string_view> argumentValue(std::span<const std::string_view> arguments,
                                              std::string_view flag) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == flag) {
            if (i + 1 < arguments.size()) return arguments[i + 1];
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void runSecretCommand(std::string_view, std::span<const std::string_view>, platform::Platform& (*)()) {
    fail("not implemented", exit_status::kSecretCommandFailed);
}

}  // namespace quorvane
