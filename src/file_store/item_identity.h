#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "crypto/secret_bytes.h"
#include "file_store/statuses.h"

namespace quorvane::platform {

// The identity of a generic password. An absent access group is a value of its own: it matches
// only items stored without a group, never "any group".
struct GenericPasswordIdentity {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;
};

// The attributes that name a key item: the key type's constant name and the application tag.
struct KeyIdentity {
    std::string keyType;
    Bytes applicationTag;
};

using ItemIdentity = std::variant<GenericPasswordIdentity, KeyIdentity>;

// What an item holds besides its identity; an update changes only the members it carries.
struct ItemContents {
    std::optional<SecretBytes> value;
    // The keychain's accessibility class, by its constant's name (generic passwords).
    std::optional<std::string> accessible;
    // The keychain's access-control flags (key items).
    std::optional<std::int64_t> accessControlFlags;
    // When the value was written, in milliseconds since the epoch (generic passwords): which of
    // two copies of a secret is the newer one.
    std::optional<std::int64_t> modifiedMilliseconds;
};

}  // namespace quorvane::platform
