#include "front/modes.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/errors.h"
#include "base/exit_status.h"
#include "front/command_table.h"
#include "front/fail.h"
#include "front/mode_selection.h"
#include "platform/services.h"
#include "presence/presence_key.h"
#include "presence/prompt.h"
#include "secrets/secret_command.h"
#include "secrets/standard_streams.h"
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
    bool canMake = false;
    try {
        requirePromptAvailable(services.presence());
        canMake = canMakePresenceKey(services.keys());
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kCannotEvaluate);
    }
    if (!canMake) return exit_status::kNoPresenceKey;
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

constexpr std::string_view kUsage =
    "Usage: quorvane-helper MODE\n"
    "The child process of the Quorvane password-vault application.\n"
    "\n"
    "Modes:\n"
    "  --serve                 answer JSON requests, one per line, on standard input\n"
    "  --secret-store --service S --account A\n"
    "                          store standard input as the secret S/A\n"
    "  --secret-load --service S --account A\n"
    "                          print the secret S/A\n"
    "  --secret-delete --service S --account A\n"
    "                          delete the secret S/A\n"
    "  --check                 print ok when presence-gated unlock can be offered\n"
    "  --delete-key            delete the presence key\n"
    "  (no mode)               ask for presence once; status 0 when confirmed\n"
    "  --help, --version       print this text or the version\n"
    "\n"
    "See quorvane-helper(1).\n";

int printMode(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return exit_status::kSuccess;
}

}  // namespace

int runHelper(std::span<const std::string_view> arguments) {
    Mode mode = chooseMode(arguments);
    if (mode == Mode::help) return printMode(kUsage);
    if (mode == Mode::version) return printMode("quorvane-helper " QUORVANE_VERSION "\n");
    std::unique_ptr<platform::Services> services = platform::assembleServices();
    switch (mode) {
        case Mode::secretStore:
            secretMode("store", arguments, *services);
        case Mode::secretLoad:
            secretMode("load", arguments, *services);
        case Mode::secretDelete:
            secretMode("delete", arguments, *services);
        case Mode::serve:
            return serve(*services, commandTable());
        case Mode::check:
            return checkMode(*services);
        case Mode::deleteKey:
            return deleteKeyMode(*services);
        case Mode::help:
        case Mode::version:
        case Mode::prompt:
            break;
    }
    return promptMode(*services);
}

}  // namespace quorvane
