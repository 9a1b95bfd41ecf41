#include "front/modes.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "enclave/key_store.h"
#include "enclave/presence.h"
#include "front/errors.h"
#include "front/exit_status.h"
#include "front/fail.h"
#include "keychain/secret_command.h"
#include "platform/platform.h"
#include "server/server.h"

namespace quorvane {
namespace {

bool hasFlag(std::span<const std::string_view> arguments, std::string_view flag) {
    return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
}

int checkMode() {
    try {
        makeContext(platform::defaultPlatform());  // the context is dropped unused
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kCannotEvaluate);
    }
    if (!supportsSecureEnclave(platform::defaultPlatform())) return exit_status::kNoSecureEnclave;
    std::fputs("ok", stdout);
    return exit_status::kSuccess;
}

int deleteKeyMode() {
    try {
        deletePrivateKey(platform::defaultPlatform());
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kDeleteKeyFailed);
    }
    std::fputs("ok", stdout);
    return exit_status::kSuccess;
}

int promptMode() {
    try {
        promptOnly(platform::defaultPlatform());
    } catch (const std::exception& error) {
        fail(stringError(error), exit_status::kPromptFailed);
    }
    return exit_status::kSuccess;
}

}  // namespace

int runHelper(std::span<const std::string_view> arguments) {
    if (hasFlag(arguments, "--secret-store")) {
        runSecretCommand("store", arguments, platform::defaultPlatform);
    }
    if (hasFlag(arguments, "--secret-load")) {
        runSecretCommand("load", arguments, platform::defaultPlatform);
    }
    if (hasFlag(arguments, "--secret-delete")) {
        runSecretCommand("delete", arguments, platform::defaultPlatform);
    }
    if (hasFlag(arguments, "--serve")) {
        return serve([]() -> platform::Platform& { return platform::defaultPlatform(); });
    }
    if (hasFlag(arguments, "--check")) return checkMode();
    if (hasFlag(arguments, "--delete-key")) return deleteKeyMode();
    return promptMode();
}

}  // namespace quorvane
