#pragma once

namespace quorvane::platform {

// useWipingSqliteMemory makes SQLite overwrite every block of heap memory it frees, so stored
// secrets that passed through its page cache and statements do not linger in freed memory. Takes
// effect only when called before SQLite is first used in the process; later calls, and calls
// after another part of the process started SQLite, change nothing. Thread-safe; idempotent.
void useWipingSqliteMemory();

}  // namespace quorvane::platform
