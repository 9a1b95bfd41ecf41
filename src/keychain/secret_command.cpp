#include "keychain/secret_command.h"

#include <simdjson.h>

#include <cstdlib>

#include "front/errors.h"
#include "front/exit_status.h"
#include "front/fail.h"
#include "keychain/generic_secret.h"
#include "keychain/standard_streams.h"

namespace quorvane {
namespace {

// performSecretCommand runs one command and returns what goes to standard output.
SecretBytes performSecretCommand(std::string_view command, std::string_view service,
                                 std::string_view account, platform::Platform& (*platform)()) {
    if (command == "store") {
        std::optional<SecretBytes> input = readStandardInputToEnd();
        if (!input || input->empty() ||
            !simdjson::validate_utf8(reinterpret_cast<const char*>(input->data()), input->size())) {
            throw HelperError("missing secret input");
        }
        storeGenericSecret(platform(), service, account, *input);
        return SecretBytes::copyOf(std::string_view("ok"));
    }
    if (command == "load") return loadGenericSecret(platform(), service, account);
    if (command == "delete") {
        deleteGenericSecret(platform(), service, account);
        return SecretBytes::copyOf(std::string_view("ok"));
    }
    throw HelperError("unknown secret command");
}

}  // namespace

std::optional<std::string_view> argumentValue(std::span<const std::string_view> arguments,
                                              std::string_view flag) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != flag) continue;
        // Only the first occurrence counts, and its follower is the value whatever it looks like.
        if (i + 1 < arguments.size()) return arguments[i + 1];
        return std::nullopt;
    }
    return std::nullopt;
}

void runSecretCommand(std::string_view command, std::span<const std::string_view> arguments,
                      platform::Platform& (*platform)()) {
    std::optional<std::string_view> service = argumentValue(arguments, "--service");
    std::optional<std::string_view> account = argumentValue(arguments, "--account");
    // Checked before anything else happens: standard input stays unread and the platform (and
    // with it the item store) is never started.
    if (!service || service->empty() || !account || account->empty()) {
        fail("missing keychain service or account", exit_status::kMissingServiceOrAccount);
    }

    SecretBytes output;
    try {
        output = performSecretCommand(command, *service, *account, platform);
    } catch (...) {
        fail(stringCurrentError(), exit_status::kSecretCommandFailed);
    }
    // Status 0 promises the caller the whole answer; a load cut short by a full disk or a closed
    // pipe must not look like a shorter secret.
    bool written = writeStandardOutput(output.span());
    output.clear();  // exit() skips this frame's destructors
    if (!written) fail("standard output write failed", exit_status::kSecretCommandFailed);
    std::exit(exit_status::kSuccess);
}

}  // namespace quorvane
