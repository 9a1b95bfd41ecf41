#pragma once

#include <span>
#include <string_view>

#include "server/command_context.h"

namespace quorvane {

struct Command {
    std::string_view name;
    CommandHandler handler;
};

// commandTable lists every request command in the order names are compared.
std::span<const Command> commandTable();

}  // namespace quorvane
