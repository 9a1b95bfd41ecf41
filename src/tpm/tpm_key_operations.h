#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "crypto/secret_bytes.h"
#include "tpm/tpm_key_item.h"

// What the presence key needs of a TPM: make a key, check that the TPM still loads it, and have
// it compute the Diffie-Hellman product with a point. Each call opens the TPM at `tcti`
// (tpm/tcti.h), works under the storage root key the TPM derives from its owner seed
// (tpm/tpm_context.h), flushes every object it loaded and closes the TPM before it
// returns. Failures raise TpmFailure in plain words; no text carries key material.
//
// `auth` is the key's auth value: empty for a key anyone who can reach the TPM may use (the
// helper's own TPM key), 32 random bytes for a key of the key service, which keeps it apart from
// the key item so that a copied item alone is useless.
namespace quorvane::platform::tpm {

// The size of the auth value the key service gives its keys.
inline constexpr std::size_t kAuthSize = 32;

// makeKey has the TPM make a P-256 key for ECDH, fixed to this TPM and to its storage root key,
// with `auth` as its auth value. Raises TpmFailure("the TPM cannot make a key (...)") and the
// TPM's opening failures.
KeyItem makeKey(const std::string& tcti, std::span<const std::uint8_t> auth);

// checkLoads raises TpmFailure unless the TPM loads `key` now: "the TPM cannot load the
// presence key; it was made by another TPM or before this TPM was cleared (...)", or the TPM's
// opening failures (no device, no answer).
void checkLoads(const std::string& tcti, const KeyItem& key);

// sharedSecret has the TPM compute Z = x(d·P), 32 bytes, for the key's private scalar d and the
// uncompressed P-256 point `point` (65 bytes, already checked to be on the curve). The key is
// authorized with `auth` in a session salted with the storage root key, which also encrypts Z on
// its way out of the TPM. Every buffer of tpm2-tss that held Z is wiped before this returns.
// Raises checkLoads's failures and TpmFailure("the TPM cannot compute the shared secret (...)").
SecretBytes sharedSecret(const std::string& tcti, const KeyItem& key,
                         std::span<const std::uint8_t> auth, std::span<const std::uint8_t> point);

}  // namespace quorvane::platform::tpm
