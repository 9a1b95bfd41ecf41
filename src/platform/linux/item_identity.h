#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "crypto/secret_bytes.h"
#include "platform/attributes.h"

namespace quorvane::platform {

// The attributes that name a generic password. An absent access group is a value of its own: it
// matches only items stored without a group, never "any group".
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

// identityOf reads the identity of the one item `attributes` names. Nothing when the class is
// missing or not one the store keeps, when an identity attribute is missing, or when one has a
// type other than the expected (texts for service, account and group; a constant for the key
// type; data for the tag). Attributes outside the identity are not looked at.
std::optional<ItemIdentity> identityOf(const AttributeSet& attributes);

// What an item holds besides its identity. Each member is absent when the set does not carry it.
struct ItemContents {
    std::optional<SecretBytes> value;                // kSecValueData
    std::optional<std::string> accessible;           // kSecAttrAccessible, the constant's name
    std::optional<std::int64_t> accessControlFlags;  // kStoredAccessControlFlags
};

// contentsOf copies the contents carried by `attributes`. Nothing when one of them has a type the
// store cannot keep (a value that is not data, an accessibility that is not a constant, flags
// that are not an integer). Other attributes (token, access-control object, key size) are not
// kept: the store has nothing to do with them.
std::optional<ItemContents> contentsOf(const AttributeSet& attributes);

// namesIdentity is true when `attributes` carries any identity attribute (class, service,
// account, group, key type or tag); used to refuse updates that would rename an item.
bool namesIdentity(const AttributeSet& attributes);

}  // namespace quorvane::platform
