#include "front/modes.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/errors.h"
#include "base/exit_status.h"
#include "presence/presence_key.h"
#include "presence/prompt.h"
#include "front/fail.h"
#include "front/mode_selection.h"
#include "keychain/secret_command.h"
#include "keychain/standard_streams.h"
#include "platform/services.h"
#include "server/server.h"

// The mode runner is the top of the helper and the only place that ends the process: every mode
// below it returns what happened, and the runner turns that into output and an exit status.
namespace quorvane {
namespace {

[[noreturn]] void secretMode(std::string_view command, std::span<const std::string_view> arguments,
                             platform::Services& services) {
    SecretCommandResult result = runSecretCommand(
        command, arguments, [&services]() -> platform::ItemStore& { return services.items(); });
    if (!result.error.empty()) fail(result.error, result.status);
    // Status 0 promises the caller the whole answer; a load cut short by a full disk or a closed
    // pipe must not look like a shorter secret.
    bool written = writeStandardOutput(result.output.span());
    result.output.clear();  // exit() skips this frame's destructors
    if (!written) fail("standard output write failed", exit_status::kSecretCommandFailed);
    std::exit(exit_status::kSuccess);
}

int checkMode(platform::Services& services) {
    try {
        requirePromptAvailable(services.presence());
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kCannotEvaluate);
    }
    if (!canMakePresenceKey(services.keys())) return exit_status::kNoPresenceKey;
    std::fputs("ok", stdout);
    return exit_status::kSuccess;
}

int deleteKeyMode(platform::Services& services) {
    try {
        deletePresenceKey(services.keys());
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kDeleteKeyFailed);
    }
    std::fputs("ok", stdout);
    return exit_status::kSuccess;
}

int promptMode(platform::Services& services) {
    bool passed = false;
    try {
        // The application that asked is gone once standard input hangs up: the prompt goes too.
        passed = promptOnly(services.presence(), STDIN_FILENO);
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kPromptFailed);
    }
    return passed ? exit_status::kSuccess : exit_status::kPromptFailed;
}

}  // namespace

int runHelper(std::span<const std::string_view> arguments) {
    std::unique_ptr<platform::Services> services = platform::assembleServices();
    switch (chooseMode(arguments)) {
        case Mode::secretStore:
            secretMode("store", arguments, *services);
        case Mode::secretLoad:
            secretMode("load", arguments, *services);
        case Mode::secretDelete:
            secretMode("delete", arguments, *services);
        case Mode::serve:
            return serve(*services);
        case Mode::check:
            return checkMode(*services);
        case Mode::deleteKey:
            return deleteKeyMode(*services);
        case Mode::prompt:
            break;
    }
    return promptMode(*services);
}

}  // namespace quorvane
