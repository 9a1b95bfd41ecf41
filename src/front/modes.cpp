#include "front/modes.h"

#include <unistd.h>

#include <cstdio>
#include <functional>

#include "enclave/key_store.h"
#include "enclave/presence.h"
#include "front/errors.h"
#include "front/exit_status.h"
#include "front/fail.h"
#include "front/mode_selection.h"
#include "keychain/secret_command.h"
#include "platform/platform.h"
#include "server/server.h"

namespace quorvane {
namespace {

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
    switch (chooseMode(arguments)) {
        case Mode::secretStore:
            runSecretCommand("store", arguments, platform::defaultPlatform);
        case Mode::secretLoad:
            runSecretCommand("load", arguments, platform::defaultPlatform);
        case Mode::secretDelete:
            runSecretCommand("delete", arguments, platform::defaultPlatform);
        case Mode::serve:
            return serve([]() -> platform::Platform& { return platform::defaultPlatform(); });
        case Mode::check:
            return checkMode();
        case Mode::deleteKey:
            return deleteKeyMode();
        case Mode::prompt:
            break;
    }
    return promptMode();
}

}  // namespace quorvane
