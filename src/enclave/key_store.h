#pragma once

#include <memory>
#include <string>

#include "platform/key_store.h"

// The presence key pair, reached through the platform's key store. References are looked up
// afresh for every request and never kept. Failures raise HelperError with the texts below.
namespace quorvane {

// keyStoreFailureText is the fixed message for a failed key-store step: "unable to create
// access control", "secure enclave key create failed: ", "secure enclave key load failed: ",
// "secure enclave key delete failed: ", "secure enclave public key unavailable", "secure enclave
// algorithm unsupported", "secure enclave wrap failed: ", "secure enclave decrypt algorithm
// unsupported", "secure enclave unwrap failed: ", the texts ending with the store's detail (or
// "unknown" when it gave none).
std::string keyStoreFailureText(const platform::KeyStoreError& failure);

// fetchPrivateKey returns the key pair, or nothing when the lookup failed in any way (absence
// included, nothing told apart). Raises nothing itself.
std::unique_ptr<platform::PresenceKey> fetchPrivateKey(platform::KeyStore& keys);

// loadOrCreatePrivateKey returns the existing key pair unchanged, or creates it (stored
// permanently, usable only with the person's presence). Asks nobody. Raises "unable to create
// access control" or "secure enclave key create failed: " + detail (or "unknown").
std::unique_ptr<platform::PresenceKey> loadOrCreatePrivateKey(platform::KeyStore& keys);

// loadPrivateKeyForUse returns the key pair bound to `request`: decrypting with it asks the
// person first. Raises "unavailable: " + the platform's reason before the store is touched when no
// prompt can be offered; "secure enclave key missing" when there is no key pair; "secure enclave
// key load failed: " + detail for any other failure.
std::unique_ptr<platform::PresenceKey> loadPrivateKeyForUse(platform::KeyStore& keys,
                                                            const platform::PromptRequest& request);

// deletePrivateKey removes the key pair; a missing pair is success. Raises "secure enclave key
// delete failed: " + detail otherwise.
void deletePrivateKey(platform::KeyStore& keys);

}  // namespace quorvane
