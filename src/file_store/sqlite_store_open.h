#pragma once

#include <sqlite3.h>

#include "file_store/data_directory.h"

namespace quorvane::platform {

// openCheckedStore opens the SQLite database `checked` names (its real path) through the wiping
// journal VFS, with `flags`, and makes sure that the descriptor SQLite itself opened is the file
// checkStorePlace checked: same device, same inode. A file swapped in at that path between the
// check and the open is never used: its descriptor is closed before SQLite reads a byte, and
// `*replaced` is set. When SQLite opened no descriptor the check could look at (it reuses one it
// kept for the same file), the path itself must still name the checked file. Returns SQLite's
// result; `*db` is set as sqlite3_open_v2 sets it (closed by the caller in
// every case). Thread-safe.
int openCheckedStore(const PrivateStoreFile& checked, int flags, sqlite3** db, bool* replaced);

}  // namespace quorvane::platform
