#include "keychain/secret_command.h"

#include "base/errors.h"
#include "base/exit_status.h"
#include "base/utf8.h"
#include "keychain/generic_secret.h"
#include "keychain/standard_streams.h"

namespace quorvane {
namespace {

// performSecretCommand runs one command and returns what goes to standard output.
SecretBytes performSecretCommand(std::string_view command, std::string_view service,
                                 std::string_view account,
                                 const std::function<platform::ItemStore&()>& store) {
    if (command == "store") {
        std::optional<SecretBytes> input = readStandardInputToEnd();
        if (!input || input->empty() || !isValidUtf8(input->view())) {
            throw HelperError("missing secret input");
        }
        storeGenericSecret(store(), service, account, *input);
        return SecretBytes::copyOf(std::string_view("ok"));
    }
    if (command == "load") return loadGenericSecret(store(), service, account);
    if (command == "delete") {
        deleteGenericSecret(store(), service, account);
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

SecretCommandResult runSecretCommand(std::string_view command,
                                     std::span<const std::string_view> arguments,
                                     const std::function<platform::ItemStore&()>& store) {
    std::optional<std::string_view> service = argumentValue(arguments, "--service");
    std::optional<std::string_view> account = argumentValue(arguments, "--account");
    // Checked before anything else happens: standard input stays unread and the item store is
    // never started.
    if (!service || service->empty() || !account || account->empty()) {
        return {exit_status::kMissingServiceOrAccount, {}, "missing keychain service or account"};
    }
    try {
        return {
            exit_status::kSuccess, performSecretCommand(command, *service, *account, store), {}};
    } catch (...) {
        return {exit_status::kSecretCommandFailed, {}, stringCurrentError()};
    }
}

}  // namespace quorvane
