#pragma once

// Protections of the whole process, applied once at start-up.
namespace quorvane::os {

// protectProcess closes the ways another process of the same user could read the helper's
// memory: core dumps are turned off (soft and hard limit, so a later raise is impossible too) and
// the process is made non-dumpable, which also makes ptrace attach and reading /proc/<pid>/mem
// require CAP_SYS_PTRACE. Call it first thing in main, before any input is read and before any
// secret exists. Both steps only ever lower privileges; should one fail anyway, the helper runs on
// without it rather than changing its replies or exit statuses.
void protectProcess() noexcept;

}  // namespace quorvane::os
