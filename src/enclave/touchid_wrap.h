#pragma once

#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/key_store.h"
#include "session/session_table.h"

// Wrapping the vault key to the hardware-held key pair and opening it again after the person
// confirmed. The wrapped blob is standard base64 of the wrap algorithm's output; the helper
// stores no blob itself. Every function raises HelperError with a fixed text (some end with the
// platform's detail); keys in transit are held in SecretBytes.
namespace quorvane {

// wrapKey encrypts the vault key given as hex text to the vault key pair (created on first use)
// and returns the blob. Asks nobody. Raises "invalid key hex" before the key store is touched;
// then loadOrCreatePrivateKey's errors, "secure enclave public key unavailable", "secure enclave
// algorithm unsupported", "secure enclave wrap failed: " + text (or "unknown").
std::string wrapKey(platform::KeyStore& keys, std::string_view keyHex);

// unwrapKey opens `blob` after the presence prompt and returns the key as lowercase hex text.
// Raises "invalid wrapped blob" (not strict base64) before any lookup or prompt; then
// loadPrivateKeyForUse's errors, "secure enclave decrypt algorithm unsupported", "secure enclave
// unwrap failed: " + text (or "unknown"), which covers a refused or withdrawn prompt and a
// foreign blob. The prompt is withdrawn when `cancelOnHangUp` hangs up (-1: never).
SecretBytes unwrapKey(platform::KeyStore& keys, std::string_view blob, int cancelOnHangUp = -1);

// wrapTouchIdForSession wraps `vaultKey`, the key of a full session the caller has looked up
// (so a refused session never reaches the key store and never creates a key pair).
std::string wrapTouchIdForSession(platform::KeyStore& keys, const SecretBytes& vaultKey);

// unwrapTouchIdToSession opens `blob` and stores its key as a new full session, returning the
// session's identifier. Raises unwrapKey's errors, or "invalid vault key from secure enclave
// unwrap" unless exactly 32 bytes came out; the session table changes only on success.
std::string unwrapTouchIdToSession(platform::KeyStore& keys, SessionTable& sessions,
                                   std::string_view blob, int cancelOnHangUp = -1);

// resetTouchIdKey deletes the vault key pair (deletePrivateKey's error propagates).
void resetTouchIdKey(platform::KeyStore& keys);

}  // namespace quorvane
