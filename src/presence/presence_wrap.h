#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/key_store.h"
#include "session/session_table.h"

// Wrapping the vault key to the presence key and opening it again after the person confirmed.
// The wrapped blob is standard base64 of the wrap algorithm's output; the helper stores no blob
// itself. Every function raises HelperError with a fixed text (some end with the platform's
// detail); keys in transit are held in SecretBytes.
namespace quorvane {

// wrapVaultKey encrypts `vaultKey` to the presence key (created on first use) and returns the
// blob. Asks nobody. Any length wraps; only unwrapping insists on 32 bytes. Raises
// findOrCreatePresenceKey's errors, "secure enclave public key unavailable", "secure enclave
// algorithm unsupported", "secure enclave wrap failed: " + text (or "unknown").
std::string wrapVaultKey(platform::KeyStore& keys, std::span<const std::uint8_t> vaultKey);

// unwrapVaultKey opens `blob` after the presence prompt and returns what it holds. Raises
// "invalid wrapped blob" (not strict base64) before any lookup or prompt; then
// findPresenceKeyForUse's errors, "secure enclave decrypt algorithm unsupported", "secure enclave
// unwrap failed: " + text (or "unknown"), which covers a refused or withdrawn prompt and a
// foreign blob, and "unavailable: " + reason when a key whose prompt is asked elsewhere learns
// only then that no prompt can be offered. The prompt is withdrawn when `cancelOnHangUp` hangs
// up (-1: never).
SecretBytes unwrapVaultKey(platform::KeyStore& keys, std::string_view blob,
                           int cancelOnHangUp = -1);

// unwrapToSession opens `blob` and stores its key as a new full session, returning the session's
// identifier. Raises unwrapVaultKey's errors, or "invalid vault key from secure enclave unwrap"
// unless exactly 32 bytes came out; the session table changes only on success.
std::string unwrapToSession(platform::KeyStore& keys, SessionTable& sessions, std::string_view blob,
                            int cancelOnHangUp = -1);

}  // namespace quorvane
