#pragma once

#include <span>

#include "server/command_context.h"

namespace quorvane {

// commandTable lists every request command of the helper, in the order the server compares
// names, each with its session rule.
std::span<const Command> commandTable();

}  // namespace quorvane
