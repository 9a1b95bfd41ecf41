#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "crypto/secret_bytes.h"
#include "platform/presence.h"

namespace quorvane::platform {

// KeyStoreError is a failed key-store step. `step` tells the caller which of its fixed messages
// applies; `detail` is the backend's status in signed decimal or its plain-words description, or
// empty when it gave none; `cause` tells a failed decryption that another key might still open
// apart from one that ends the attempt. Never holds key material.
class KeyStoreError : public std::exception {
  public:
    enum class Cause {
        other,
        // The key can no longer be used (its TPM was cleared or is gone); nobody was asked.
        keyUnusable,
        // The person confirmed, and the blob was not made for this key (or was changed).
        notThisKey,
    };
    enum class Step {
        accessControl,       // the key's presence requirement could not be expressed
        create,              // making or storing a new presence key
        load,                // looking up the presence key (not "there is none")
        remove,              // deleting the presence key
        publicKey,           // the presence key gave no public key
        encryptUnsupported,  // the public key cannot encrypt with the wrap algorithm
        encrypt,             // sealing to the public key
        decryptUnsupported,  // the presence key cannot decrypt with the wrap algorithm
        decrypt,             // opening with the presence key, the presence prompt included
    };
    KeyStoreError(Step step, std::string detail, Cause cause = Cause::other)
        : step_(step), detail_(std::move(detail)), cause_(cause) {}
    Step step() const noexcept { return step_; }
    const std::string& detail() const noexcept { return detail_; }
    Cause cause() const noexcept { return cause_; }
    const char* what() const noexcept override { return detail_.c_str(); }

  private:
    Step step_;
    std::string detail_;
    Cause cause_;
};

// PresenceKey is the one presence-gated P-256 key, found or made for one request and
// released after it. The wrap algorithm is ECIES with cofactor ECDH, the X9.63 KDF with SHA-256
// and AES-GCM with a variable IV (docs/presence.md gives the byte layout).
class PresenceKey {
  public:
    virtual ~PresenceKey() = default;

    // encrypt seals `plaintext` to the public half. Never asks the person anything. Refuses a key
    // that could not decrypt what it sealed (its TPM no longer loads it). Raises KeyStoreError
    // (Step::publicKey, Step::encryptUnsupported or Step::encrypt).
    virtual Bytes encrypt(std::span<const std::uint8_t> plaintext) = 0;

    // decrypt opens `blob` with the private half. Only a key found with KeyStore::findForUse can
    // decrypt: a key that can no longer be used fails first, asking nobody (Cause::keyUnusable);
    // then the person is asked, with that call's request (unless it says the person already
    // confirmed it), and nothing is released unless the prompt passed and the blob was made for
    // this key (Cause::notThisKey when it was not). Raises KeyStoreError (Step::decryptUnsupported,
    // or Step::decrypt for a refused or withdrawn prompt and for a blob that does not open), or
    // PresenceUnavailable from a key whose prompt is asked elsewhere (the key service) when no
    // prompt can be offered.
    virtual SecretBytes decrypt(std::span<const std::uint8_t> blob) = 0;
};

// KeyStore keeps the presence key under the helper's one tag. One object is used by one
// thread at a time.
class KeyStore {
  public:
    virtual ~KeyStore() = default;

    // find returns the presence key for encryption, or nullptr when there is none or the lookup
    // failed in any way (a failed lookup is not told apart here). Asks nobody; never raises.
    virtual std::unique_ptr<PresenceKey> find() = 0;

    // findForUse returns the presence key bound to `request`, so that its decrypt asks the person
    // first. Raises PresenceUnavailable before the store is touched when no prompt can be
    // offered (not asked when `request` says the person already confirmed it); returns nullptr
    // when there is no presence key; raises KeyStoreError (Step::load) for any other failure of
    // the lookup.
    virtual std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) = 0;

    // create makes a new presence key and stores it permanently, usable for decryption only after
    // the person's presence; asks nobody. Never replaces a stored key. Raises KeyStoreError
    // (Step::accessControl or Step::create).
    virtual std::unique_ptr<PresenceKey> create() = 0;

    // remove deletes the presence key; a missing key is success. Raises KeyStoreError
    // (Step::remove).
    virtual void remove() = 0;

    // canCreate answers whether a presence key could be made now, or the one there is could be
    // used now, storing nothing. Raises nothing but PresenceUnavailable, from a store whose
    // prompt is asked elsewhere (the key service) when that place is there and cannot be asked.
    virtual bool canCreate() = 0;

    // holdsKey answers whether the store holds a presence key that findForUse would give, asking
    // nobody: find's key, or, in a store that keeps older keys for unwrapping only, one of those.
    // A lookup that failed answers false. Never raises.
    virtual bool holdsKey() { return find() != nullptr; }
};

// refuseMalformedBlob raises KeyStoreError(Step::decrypt) with the reason when `blob` cannot be
// an ECIES blob of the wrap algorithm (crypto/ecies.h): the presence-key backends call it before
// anybody is asked to confirm for a blob that could never open.
void refuseMalformedBlob(std::span<const std::uint8_t> blob);

}  // namespace quorvane::platform
