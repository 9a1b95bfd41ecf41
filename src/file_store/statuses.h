#pragma once

#include "platform/item_status.h"

// The statuses of the Linux file store: the three of ItemStatus, and failures numbered by the
// store. The numbers appear in error texts ("keychain secret load failed: -40005"), so they stay
// stable across releases; they are explained for users in docs/secrets.md; keep the two lists in
// step.
namespace quorvane::platform::store_status {

inline constexpr ItemStatus kSuccess = ItemStatus::success;
inline constexpr ItemStatus kNotFound = ItemStatus::notFound;
inline constexpr ItemStatus kDuplicate = ItemStatus::duplicate;

// Neither XDG_DATA_HOME (absolute) nor a home directory names a place for the store.
inline constexpr ItemStatus kNoLocation{-40001};
// The store's directory (or a missing parent of it) could not be created, or is not a directory.
inline constexpr ItemStatus kDirectoryFailed{-40002};
// The store file exists but could not be opened: no permission, not a regular file, ...
inline constexpr ItemStatus kCannotOpen{-40003};
// The store could be read but not written (read-only file, directory or file system).
inline constexpr ItemStatus kReadOnly{-40004};
// Another process kept the store locked for longer than the busy timeout.
inline constexpr ItemStatus kBusy{-40005};
// The file is not an item store of this helper: not an SQLite database at all, or another
// program's database. It is left as it is.
inline constexpr ItemStatus kNotAStore{-40006};
// SQLite found the database damaged. The file is left as it is.
inline constexpr ItemStatus kCorrupt = ItemStatus::damaged;
// The store was written by a newer helper whose format this one does not know.
inline constexpr ItemStatus kNewerFormat{-40008};
// Reading or writing the file failed at the operating-system level (I/O error, disk full).
inline constexpr ItemStatus kIoError{-40009};
// The attribute set does not name exactly one item of a class the store keeps (class generic
// password with service and account texts; class key with a key type and an application tag),
// or an attribute has a type the store cannot keep, or an add carries no value.
inline constexpr ItemStatus kBadAttributes{-40010};
// Any other failure of the database engine, out of memory included.
inline constexpr ItemStatus kInternal{-40011};
// The store's place is not private to the user, so the store is neither read nor written there:
// the store directory or file belongs to someone else, the directory is writable or the file
// readable or writable by other users, or the directory holding the store directory (the data
// directory, or the place a symbolic link leads to) belongs to another user or is writable by
// other users.
inline constexpr ItemStatus kNotPrivate{-40012};

}  // namespace quorvane::platform::store_status
