#include "front/mode_selection.h"

#include <algorithm>

namespace quorvane {

Mode chooseMode(std::span<const std::string_view> arguments) {
    struct Flag {
        std::string_view text;
        Mode mode;
    };
    static constexpr Flag kFlags[] = {
        {"--secret-store", Mode::secretStore},
        {"--secret-load", Mode::secretLoad},
        {"--secret-delete", Mode::secretDelete},
        {"--serve", Mode::serve},
        {"--check", Mode::check},
        {"--delete-key", Mode::deleteKey},
        // A person typing these expects an answer, not a password dialog.
        {"--help", Mode::help},
        {"--version", Mode::version},
    };
    for (const Flag& flag : kFlags) {
        if (std::find(arguments.begin(), arguments.end(), flag.text) != arguments.end()) {
            return flag.mode;
        }
    }
    return Mode::prompt;
}

}  // namespace quorvane
