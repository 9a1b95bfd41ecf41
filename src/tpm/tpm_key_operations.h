#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "crypto/secret_bytes.h"
#include "tpm/tpm_context.h"
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

// StorageRoot is the storage root key made once and kept for a long-lived process (the key
// service): deriving it costs a real TPM tens of milliseconds per CreatePrimary, loading its saved
// context a fraction of that. The context is saved rather than the object kept loaded, so that
// each operation still opens the TPM for its own length only: a TPM without a resource manager
// (swtpm, /dev/tpm0) serves one connection at a time and would otherwise be shut to everyone else.
//
// Its name is what a key file records of the key it was made under. A TPM that was cleared
// derives another key, and so does anything that answers between the service and the TPM with a
// key of its own; comparing names tells both apart from the genuine one before a key is used.
class StorageRoot {
  public:
    // make derives the storage root key on the TPM at `tcti` and saves its context (three
    // commands: CreatePrimary, ContextSave, FlushContext). Raises TpmFailure.
    static StorageRoot make(const std::string& tcti);

    // name: the key's TPM name (its name algorithm, then the digest of its public area).
    const Bytes& name() const { return name_; }

    // load puts the saved key back into the TPM as `handle`. Raises StaleStorageRoot when the TPM
    // no longer takes the context (it was reset or cleared since), TpmFailure otherwise.
    void load(const TpmContext& context, TransientHandle& handle) const;

  private:
    StorageRoot() = default;
    TPMS_CONTEXT saved_{};
    Bytes name_;
};

// KeyRefused: the TPM itself refused to load a key (checkLoads's failure that is about the key,
// not about reaching the TPM): it was made by another TPM or before this one was cleared.
class KeyRefused : public TpmFailure {
  public:
    using TpmFailure::TpmFailure;
};

// StaleStorageRoot: the TPM refused a saved storage root key; make it again.
class StaleStorageRoot : public TpmFailure {
  public:
    using TpmFailure::TpmFailure;
};

// The operations above under a storage root key made before (the key service's). They raise
// what those raise, and StaleStorageRoot.
KeyItem makeKey(const std::string& tcti, const StorageRoot& root,
                std::span<const std::uint8_t> auth);
void checkLoads(const std::string& tcti, const StorageRoot& root, const KeyItem& key);
SecretBytes sharedSecret(const std::string& tcti, const StorageRoot& root, const KeyItem& key,
                         std::span<const std::uint8_t> auth, std::span<const std::uint8_t> point);

}  // namespace quorvane::platform::tpm
