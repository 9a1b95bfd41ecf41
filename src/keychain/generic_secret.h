#pragma once

#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/platform.h"

namespace quorvane {

// Named secrets kept as generic-password items, identified by the caller's service and account
// (used unchanged, never trimmed) within the helper's access group when it has one. Every query
// carries exactly kSecClass, kSecAttrService, kSecAttrAccount and, with a group,
// kSecAttrAccessGroup, plus what each operation adds below. Failures raise HelperError with the
// texts given here; a platform status in a text is written in signed decimal.

// storeGenericSecret creates or replaces the item so that it holds `secret`, which must be
// UTF-8 (else "invalid secret utf8", before the keychain is touched). It updates the item's value
// and accessibility (after first unlock) and, when no item matched, adds one. Failures: "keychain
// secret update failed: <status>" when the update fails other than by finding nothing; "keychain
// secret store failed: <status>" when the add fails. An add that finds the item already there
// (another process added it after the update looked) starts over with the update, a few times.
void storeGenericSecret(platform::Platform& platform, std::string_view service,
                        std::string_view account, const SecretBytes& secret);

// loadGenericSecret returns the item's value, which is UTF-8. It never lets the platform ask
// the person anything: the query carries a context that forbids interaction and the "fail"
// authentication-UI setting (a platform that can make no context gets an empty one there).
// Failures: "keychain secret missing" when there is no such item;
// "invalid keychain secret data" when the result is not bytes or not UTF-8; "keychain secret
// load failed: <status>" for any other status.
SecretBytes loadGenericSecret(platform::Platform& platform, std::string_view service,
                              std::string_view account);

// deleteGenericSecret removes the item; a missing item is success. Failure: "keychain secret
// delete failed: <status>".
void deleteGenericSecret(platform::Platform& platform, std::string_view service,
                         std::string_view account);

}  // namespace quorvane
