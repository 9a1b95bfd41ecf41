#pragma once

#include <memory>
#include <string>

#include "platform/key_store.h"

// The presence key, reached through the platform's key store. References are looked up afresh
// for every request and never kept. Failures raise HelperError with the texts below.
namespace quorvane {

// presenceKeyFailureText is the fixed message for a failed key-store step: "unable to create
// access control", "secure enclave key create failed: ", "secure enclave key load failed: ",
// "secure enclave key delete failed: ", "secure enclave public key unavailable", "secure enclave
// algorithm unsupported", "secure enclave wrap failed: ", "secure enclave decrypt algorithm
// unsupported", "secure enclave unwrap failed: ", the texts ending with the store's detail (or
// "unknown" when it gave none). These texts are the protocol's and stay as they are.
std::string presenceKeyFailureText(const platform::KeyStoreError& failure);

// findOrCreatePresenceKey returns the existing presence key unchanged, or creates it (stored
// permanently, usable only with the person's presence). Asks nobody. Raises "unable to create
// access control" or "secure enclave key create failed: " + detail (or "unknown").
std::unique_ptr<platform::PresenceKey> findOrCreatePresenceKey(platform::KeyStore& keys);

// findPresenceKeyForUse returns the presence key bound to `request`: decrypting with it asks the
// person first. Raises "unavailable: " + the platform's reason before the store is touched when no
// prompt can be offered; "secure enclave key missing" when there is no key; "secure enclave key
// load failed: " + detail for any other failure.
std::unique_ptr<platform::PresenceKey> findPresenceKeyForUse(
    platform::KeyStore& keys, const platform::PromptRequest& request);

// deletePresenceKey removes the presence key; a missing key is success. Raises "secure enclave
// key delete failed: " + detail otherwise.
void deletePresenceKey(platform::KeyStore& keys);

}  // namespace quorvane
