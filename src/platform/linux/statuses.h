#pragma once

#include <cstdint>

namespace quorvane::platform {

// StoreStatus is what the file store's SQLite layer answers: 0 for success, a negative number
// for anything else. The numbers appear in error texts ("keychain secret load failed: -40005"),
// so they stay stable across releases; they are explained for users in docs/keychain.md; keep the
// two lists in step.
using StoreStatus = std::int32_t;

}  // namespace quorvane::platform

namespace quorvane::platform::store_status {

inline constexpr StoreStatus kSuccess = 0;
// No item of that identity. The number is the one the keychain on macOS gives the same answer,
// so that texts naming it read the same on both.
inline constexpr StoreStatus kNotFound = -25300;
// An item of that identity exists already (the keychain's number, as above).
inline constexpr StoreStatus kDuplicate = -25299;

// Neither XDG_DATA_HOME (absolute) nor a home directory names a place for the store.
inline constexpr StoreStatus kNoLocation = -40001;
// The store's directory (or a missing parent of it) could not be created, or is not a directory.
inline constexpr StoreStatus kDirectoryFailed = -40002;
// The store file exists but could not be opened: no permission, not a regular file, ...
inline constexpr StoreStatus kCannotOpen = -40003;
// The store could be read but not written (read-only file, directory or file system).
inline constexpr StoreStatus kReadOnly = -40004;
// Another process kept the store locked for longer than the busy timeout.
inline constexpr StoreStatus kBusy = -40005;
// The file is not an item store of this helper: not an SQLite database at all, or another
// program's database. It is left as it is.
inline constexpr StoreStatus kNotAStore = -40006;
// SQLite found the database damaged. The file is left as it is.
inline constexpr StoreStatus kCorrupt = -40007;
// The store was written by a newer helper whose format this one does not know.
inline constexpr StoreStatus kNewerFormat = -40008;
// Reading or writing the file failed at the operating-system level (I/O error, disk full).
inline constexpr StoreStatus kIoError = -40009;
// The attribute set does not name exactly one item of a class the store keeps (class generic
// password with service and account texts; class key with a key type and an application tag),
// or an attribute has a type the store cannot keep, or an add carries no value.
inline constexpr StoreStatus kBadAttributes = -40010;
// Any other failure of the database engine, out of memory included.
inline constexpr StoreStatus kInternal = -40011;
// The store's place is not private to the user, so the store is neither read nor written there:
// the store directory or file belongs to someone else, the directory is writable or the file
// readable or writable by other users, or the directory holding the store directory (the data
// directory, or the place a symbolic link leads to) belongs to another user or is writable by
// other users.
inline constexpr StoreStatus kNotPrivate = -40012;

}  // namespace quorvane::platform::store_status
