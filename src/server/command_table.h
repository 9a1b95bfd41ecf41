#pragma once

#include <span>
#include <string_view>

#include "server/command_context.h"

namespace quorvane {

struct Command {
    std::string_view name;
    SessionRule sessionRule;
    CommandHandler handler;
};

// commandTable lists every request command in the order names are compared.
std::span<const Command> commandTable();

// findCommand returns the first command named `name`, or nothing.
const Command* findCommand(std::string_view name);

}  // namespace quorvane
