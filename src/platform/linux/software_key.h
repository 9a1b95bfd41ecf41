#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "crypto/secret_bytes.h"
#include "platform/platform.h"

namespace quorvane::platform {

// SoftwareKey stands in for a hardware-held P-256 key on Linux: the private scalar lives in
// process memory (wiped with the key) and at rest in the item store, readable by anything that
// runs as the same user. What it keeps is the contract: decryption with a key whose access
// control demands presence happens only after the person confirmed through the context the key
// was loaded with.
class SoftwareKey final : public Key {
  public:
    // makePrivate returns a private key, or nothing when `scalar` is not a valid P-256 scalar.
    // `context` is the authentication context the key was loaded with (may be null).
    static std::shared_ptr<SoftwareKey> makePrivate(SecretBytes scalar,
                                                    std::uint64_t accessControlFlags,
                                                    std::shared_ptr<AuthContext> context);
    // makePublic returns a public key for an uncompressed point (checked when first used).
    static std::shared_ptr<SoftwareKey> makePublic(Bytes point);

    bool isPrivate() const { return !scalar_.empty(); }
    const Bytes& point() const { return point_; }
    std::uint64_t accessControlFlags() const { return accessControlFlags_; }
    // demandsPresence: the access control asks for the person (presence, biometry or passcode).
    bool demandsPresence() const;
    // publicKey returns the public half (a public key returns a copy of itself).
    std::shared_ptr<SoftwareKey> publicKey() const;

    // encrypt seals `plaintext` to this key's point with the wrap algorithm; never asks anybody.
    // Raises PlatformError.
    Bytes encrypt(std::span<const std::uint8_t> plaintext) const;

    // decrypt opens `blob` with the private scalar. A blob that cannot be a ciphertext is refused
    // first, without asking anybody. When the access control demands presence, the prompt then
    // runs through the bound context (or a new polkit context when the key has none) with that
    // context's reason text, and its failure is raised as a PlatformError. Raises PlatformError
    // when the blob was not made for this key. Returns plaintext only when both passed.
    SecretBytes decrypt(std::span<const std::uint8_t> blob) const;

  private:
    SoftwareKey() = default;
    SecretBytes scalar_;
    Bytes point_;
    std::uint64_t accessControlFlags_ = 0;
    std::shared_ptr<AuthContext> context_;
};

// confirmPresence asks the person through `context` with `reason` and waits for the reply,
// which arrives on another thread. Returns when the prompt passed; raises the context's error
// (or PlatformError "user presence was not confirmed" when it gave none) otherwise.
void confirmPresence(AuthContext& context, std::string reason);

}  // namespace quorvane::platform
