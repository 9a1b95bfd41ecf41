#pragma once

#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/item_store.h"

namespace quorvane {

// Named secrets, identified by the caller's service and account (used unchanged, never trimmed),
// kept in the platform's item store. Failures raise HelperError with the texts given here; a
// store's detail (a status in signed decimal or its own words) ends the text.

// storeGenericSecret creates or replaces the secret so that it holds `secret`, which must be
// UTF-8 (else "invalid secret utf8", before the store is touched). Failures: "keychain secret
// update failed: <detail>" when replacing an existing value fails; "keychain secret store
// failed: <detail>" when creating the item fails.
void storeGenericSecret(platform::ItemStore& store, std::string_view service,
                        std::string_view account, const SecretBytes& secret);

// loadGenericSecret returns the secret's value, which is UTF-8. The store never asks the person
// anything. Failures: "keychain secret missing" when there is no such secret; "invalid keychain
// secret data" when what is stored is not a value or not UTF-8; "keychain secret load failed:
// <detail>" for any other failure.
SecretBytes loadGenericSecret(platform::ItemStore& store, std::string_view service,
                              std::string_view account);

// deleteGenericSecret removes the secret; a missing secret is success. Failure: "keychain secret
// delete failed: <detail>".
void deleteGenericSecret(platform::ItemStore& store, std::string_view service,
                         std::string_view account);

}  // namespace quorvane
