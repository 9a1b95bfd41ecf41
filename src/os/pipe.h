#pragma once

// Pipe tuning of the operating system.
namespace quorvane::os {

// widenPipe asks for a large buffer on `fd` when it is a pipe, so bulk requests and replies move
// in few large steps. Anything that is not a pipe, or a kernel limit, leaves it as it was; never
// fails.
void widenPipe(int fd) noexcept;

}  // namespace quorvane::os
