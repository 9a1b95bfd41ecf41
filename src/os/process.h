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

// quietLibraryLogs tells the libraries loaded late (tpm2-tss) not to write their own errors to
// standard error, where the request server must stay silent and --check must print nothing; our
// callers report every failure themselves. tpm2-tss's only switch is the environment variable
// TSS2_LOG, and changing the environment races with any thread reading it: call this first thing
// in main, while the process has one thread. A value the person set (to debug the stack) is kept.
void quietLibraryLogs() noexcept;

}  // namespace quorvane::os
