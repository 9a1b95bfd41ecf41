#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "crypto/secret_bytes.h"

// The key service's state directory: one file per user and kind of key, named "<uid>.tpm" or
// "<uid>.software", owned by the service's user, mode 0600, in a directory of mode 0700 that no
// other user can reach. A file is replaced atomically (written beside it, synced, renamed over
// it, the directory synced), so a crash leaves the old key or the new one, never half of one.
namespace quorvane::keyd {

// KeyFileError is a failed operation on the state directory, in plain words (the system's
// error text in parentheses). Never carries key material.
class KeyFileError : public std::exception {
  public:
    explicit KeyFileError(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    std::string text_;
};

enum class KeyKind { tpm, software };

class KeyFiles {
  public:
    // Opens the state directory `path`, making it (mode 0700) when it is missing. Raises
    // KeyFileError when it cannot be made or opened, is not a directory, does not belong to this
    // process's user, or can be reached by another user (group or other permission bits): its
    // files would then be no secret.
    explicit KeyFiles(const std::string& path);
    ~KeyFiles();
    KeyFiles(const KeyFiles&) = delete;
    KeyFiles& operator=(const KeyFiles&) = delete;

    // read returns the contents of the user's key file of `kind`, or nothing when there is none.
    // Raises KeyFileError when it exists and cannot be read, or is not a regular file of ours.
    std::optional<SecretBytes> read(uid_t user, KeyKind kind) const;

    // write makes the user's key file of `kind` hold `bytes`, replacing it atomically. Raises
    // KeyFileError; the old file (or none) is kept on failure.
    void write(uid_t user, KeyKind kind, std::span<const std::uint8_t> bytes) const;

    // remove deletes the user's key file of `kind`; a missing file is success. Raises
    // KeyFileError.
    void remove(uid_t user, KeyKind kind) const;

  private:
    int directory_ = -1;
};

}  // namespace quorvane::keyd
