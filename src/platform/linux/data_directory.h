#pragma once

#include <filesystem>
#include <optional>

#include "platform/status.h"

namespace quorvane::platform {

// itemStorePath returns where the Linux item store lives, following the XDG base-directory
// convention: $XDG_DATA_HOME/quorvane/keychain.sqlite3 when XDG_DATA_HOME is an absolute path,
// else <home>/.local/share/quorvane/keychain.sqlite3 with <home> taken from HOME when it is
// absolute, else from the password database. Nothing when no home directory is known. Reads the
// environment on every call and touches no file.
std::optional<std::filesystem::path> itemStorePath();

// makePrivateDirectory makes `directory` and any missing parents, each new one with mode 0700
// whatever the umask; directories that exist already keep their mode. Returns errSecSuccess, or
// store_status::kDirectoryFailed when a component cannot be made or is not a directory.
OSStatus makePrivateDirectory(const std::filesystem::path& directory);

}  // namespace quorvane::platform
