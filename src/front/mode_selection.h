#pragma once

#include <span>
#include <string_view>

namespace quorvane {

// The helper's modes, one per run.
enum class Mode {
    secretStore,
    secretLoad,
    secretDelete,
    serve,
    check,
    deleteKey,
    help,
    version,
    prompt
};

// chooseMode picks the mode from `arguments` (the arguments after the program name). A flag
// counts only as a whole argument, wherever it stands; flags are tested in the order
// --secret-store, --secret-load, --secret-delete, --serve, --check, --delete-key, --help,
// --version and the first found decides; with none of them the mode is the bare prompt. --help and
// --version come after every mode flag, so they never change what a mode flag runs. Never fails.
Mode chooseMode(std::span<const std::string_view> arguments);

}  // namespace quorvane
