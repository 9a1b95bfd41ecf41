#pragma once

#include <memory>
#include <string_view>

#include "platform/platform.h"

// The hardware-held vault key pair: one P-256 key, found by class, key type and the application
// tag values::keyTag. References are looked up afresh for every request and never kept.
namespace quorvane {

// fetchPrivateKey returns the vault key, or nothing when the lookup gives any status other than
// success (not-found included, with no status told apart). Raises nothing itself.
std::shared_ptr<platform::Key> fetchPrivateKey(platform::Platform& platform);

// loadOrCreatePrivateKey returns the existing vault key unchanged, or creates the pair (stored
// permanently under the tag, usable only with the person's presence). Asks nobody. Raises
// HelperError "unable to create access control", or "secure enclave key create failed: " + the
// platform's text (or "unknown").
std::shared_ptr<platform::Key> loadOrCreatePrivateKey(platform::Platform& platform);

// loadPrivateKeyForUse makes a fresh authentication context (raising makeContext's
// "unavailable: ..." before the key store is touched), sets its reason to `prompt`, and returns
// the vault key bound to it: using the key for decryption asks the person first. Raises
// HelperError "secure enclave key missing" when there is no key, or "secure enclave key load
// failed: <status>" for any other status and for a success that brought no key.
std::shared_ptr<platform::Key> loadPrivateKeyForUse(platform::Platform& platform,
                                                    std::string_view prompt);

// deletePrivateKey removes the vault key pair; a missing key is success. Raises HelperError
// "secure enclave key delete failed: <status>" otherwise.
void deletePrivateKey(platform::Platform& platform);

}  // namespace quorvane
