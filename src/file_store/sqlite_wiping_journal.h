#pragma once

namespace quorvane::platform {

// wipingJournalVfs returns the name of an SQLite VFS that is the default one except that it
// overwrites a file with zeros before deleting it. SQLite deletes a rollback journal when a
// transaction ends; the journal holds the old contents of every page the transaction changed,
// overwritten and deleted values included, and unlinking alone would leave them in the file
// system's free blocks.
//
// The first block is overwritten and flushed before the rest: SQLite takes a journal whose first
// byte is zero for no journal at all, so a crash part-way leaves either a whole journal (rolled
// back as before) or none, never one with zeroed pages to roll back. The rest is flushed before
// the unlink, because a file system drops unwritten pages of a file that no longer exists.
// Overwriting cannot reach copies that a copy-on-write file system, a file-system journal or a
// flash translation layer keeps elsewhere.
//
// Registers the VFS on first use (after useWipingSqliteMemory, which must precede any SQLite
// initialisation); nothing when SQLite has no default VFS. Thread-safe.
const char* wipingJournalVfs();

// wipeAndRemove overwrites the regular file at `path` with zeros, as the VFS does, and removes
// it. Best effort: a file that cannot be written is removed all the same. Does not follow a
// symbolic link.
void wipeAndRemove(const char* path);

}  // namespace quorvane::platform
