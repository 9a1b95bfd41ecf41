#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

#include "file_store/statuses.h"

namespace quorvane::platform {

// itemStorePath returns where the Linux item store lives, following the XDG base-directory
// convention: $XDG_DATA_HOME/quorvane/keychain.sqlite3 when XDG_DATA_HOME is an absolute path,
// else <home>/.local/share/quorvane/keychain.sqlite3 with <home> taken from HOME when it is
// absolute, else from the password database. Nothing when no home directory is known. Reads the
// environment on every call and touches no file.
std::optional<std::filesystem::path> itemStorePath();

// makePrivateDirectory makes `directory` and any missing parents, each new one with mode 0700
// whatever the umask; directories that exist already keep their mode. Returns
// store_status::kSuccess, or store_status::kDirectoryFailed when a component cannot be made or is
// not a directory.
ItemStatus makePrivateDirectory(const std::filesystem::path& directory);

// A store file whose place was found private: its path with every symbolic link resolved (what
// SQLite is given, with SQLITE_OPEN_NOFOLLOW) and the identity of the file that was checked.
struct PrivateStoreFile {
    std::filesystem::path realPath;
    dev_t device = 0;
    ino_t inode = 0;
};

// checkStorePlace walks from the data directory to `storeFile` (<data>/<dir>/<file>) without
// trusting any place another user controls, and fills `checked`. It holds each directory open
// while it looks at the next step, so nothing is judged by one file and then used as another.
//
// - The data directory must belong to the user or to root and be writable by nobody else.
// - The store directory must belong to the user and be writable by nobody else. It may be a
//   symbolic link (owned by the user or root) to such a directory, whose own parent must then
//   pass the data directory's test.
// - The store file must be a regular file that belongs to the user and that nobody else may read
//   or write. It may be a symbolic link (owned by the user or root) to such a file, whose
//   directory must then pass the data directory's test.
// "Nobody else" counts the group too, unless it is the user's private group (the user's primary
// group, named after the user, with no other members) and the file has no access ACL (whose mask
// the group bits then are). Places that fail are refused, never
// re-moded: the helper cannot know what another user read or planted meanwhile.
//
// With `create`, missing parents of the data directory are made (makePrivateDirectory), a missing
// store directory is made with mode 0700 and a missing file with 0600, whatever the umask.
// Without it nothing is made, and a missing directory or file (or a file where a directory
// belongs) sets `absent` and returns store_status::kSuccess.
//
// Failures: kNotPrivate for a place that is not private as above; kDirectoryFailed when a
// directory is missing and cannot be made or is not a directory; kCannotOpen when the store file
// is not a regular file or cannot be looked at; kReadOnly when it cannot be created on a
// read-only file system. Reads the user database (getpwuid_r, getgrgid_r); thread-safe.
ItemStatus checkStorePlace(const std::filesystem::path& storeFile, bool create, bool* absent,
                           PrivateStoreFile* checked);

}  // namespace quorvane::platform
