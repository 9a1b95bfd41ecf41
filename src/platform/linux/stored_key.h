#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "crypto/secret_bytes.h"
#include "platform/platform.h"

namespace quorvane::platform {

// Internal attribute under which the Linux item store keeps a key item's access-control flags
// (the framework keeps them inside the key; our store keeps them beside the key bytes).
inline constexpr std::string_view kStoredAccessControlFlags = "qvAccessControlFlags";

// StoredKeyItem is a key item as the Linux item store keeps it: the private key bytes
// (kSecValueData) and the access-control flags it was created with.
struct StoredKeyItem {
    SecretBytes privateKey;
    std::uint64_t accessControlFlags = 0;
};

// keyRefFromStoredItem turns a stored key item into a key reference bound to `context` (the
// authentication context of the query that found it; may be null). Defined with the key
// operations; the item store calls it to answer kSecReturnRef queries for key items.
std::shared_ptr<Key> keyRefFromStoredItem(StoredKeyItem item, std::shared_ptr<AuthContext> context);

}  // namespace quorvane::platform
