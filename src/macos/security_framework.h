#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/platform_error.h"
#include "crypto/secret_bytes.h"
#include "macos/attributes.h"

namespace quorvane::platform {

// An access-control object: a protection class and a flag set, attached to a key at creation.
class AccessControl {
  public:
    AccessControl(Constant protection, std::uint64_t flags)
        : protection_(protection), flags_(flags) {}
    Constant protection() const { return protection_; }
    std::uint64_t flags() const { return flags_; }

  private:
    Constant protection_;
    std::uint64_t flags_;
};

// A reference to a key held by the key store (private or public half). Opaque above the
// boundary; each backend subclasses it. A reference lives for one request at most.
class Key {
  public:
    virtual ~Key() = default;
};

// The authentication context (user-presence prompt). A fresh context is made for every
// operation and is never shared between operations.
class AuthContext {
  public:
    // The reply of evaluatePolicy: success flag and an optional error. Called exactly once, on a
    // thread other than the one that called evaluatePolicy.
    using Reply = std::function<void(bool success, std::optional<PlatformError> error)>;

    virtual ~AuthContext() = default;
    // canEvaluatePolicy answers whether `policy` can be evaluated now; when it cannot, `error`
    // may receive the platform's reason (or stay empty).
    virtual bool canEvaluatePolicy(int policy, std::optional<PlatformError>* error) = 0;
    // evaluatePolicy shows the prompt with `reason` and calls `reply` once the person answered.
    virtual void evaluatePolicy(int policy, std::string reason, Reply reply) = 0;
    // setLocalizedReason sets the text shown when a key loaded with this context needs presence.
    virtual void setLocalizedReason(std::string reason) = 0;
    // setInteractionNotAllowed(true) forbids any user interface through this context.
    virtual void setInteractionNotAllowed(bool notAllowed) = 0;
};

// What itemCopyMatching leaves in its result slot: nothing, the item's value bytes
// (kSecReturnData) or a key reference (kSecReturnRef).
using ItemResult = std::variant<std::monostate, SecretBytes, std::shared_ptr<Key>>;

// The value of an entitlement: absent, a list of texts, a text, or a value of another type.
struct OtherEntitlementType {};
using EntitlementValue =
    std::variant<std::monostate, std::vector<std::string>, std::string, OtherEntitlementType>;

// SecurityFramework is the small set of the macOS Security and LocalAuthentication calls the
// macOS adapters (mac_item_store, mac_key_store, mac_presence) are written against: the keychain's
// item calls, key creation and use, access control, the entitlement lookup and the authentication
// context, with the framework's own attribute names and statuses. The real binding wraps the
// framework one call to one function; tests use FakeSecurityFramework. Every call is synchronous
// on the calling thread except the reply of AuthContext::evaluatePolicy.
class SecurityFramework {
  public:
    virtual ~SecurityFramework() = default;

    // --- Item store. Each returns errSecSuccess, errSecItemNotFound, or a failure status. ---
    // itemAdd creates one item from `attributes`; errSecDuplicateItem when it exists already.
    virtual OSStatus itemAdd(const AttributeSet& attributes) = 0;
    // itemUpdate changes the `changes` attributes of the items matching `query`.
    virtual OSStatus itemUpdate(const AttributeSet& query, const AttributeSet& changes) = 0;
    // itemCopyMatching finds an item matching `query` and fills `result` as the query's
    // kSecReturnData / kSecReturnRef ask; on any status but success `result` is left empty.
    virtual OSStatus itemCopyMatching(const AttributeSet& query, ItemResult* result) = 0;
    // itemDelete removes every item matching `query`.
    virtual OSStatus itemDelete(const AttributeSet& query) = 0;

    // --- Key store. ---
    // accessControlCreateWithFlags makes an access-control object, or nothing.
    virtual std::shared_ptr<AccessControl> accessControlCreateWithFlags(Constant protection,
                                                                        std::uint64_t flags) = 0;
    // keyCreateRandomKey makes a P-256 private key as `attributes` describe (stored permanently
    // under its application tag when kSecPrivateKeyAttrs asks for it, stored nowhere otherwise).
    // On failure returns nothing and may fill `error`.
    virtual std::shared_ptr<Key> keyCreateRandomKey(const AttributeSet& attributes,
                                                    std::optional<PlatformError>* error) = 0;
    // keyCopyPublicKey returns the public half of `key`, or nothing.
    virtual std::shared_ptr<Key> keyCopyPublicKey(const Key& key) = 0;
    virtual bool keyIsAlgorithmSupported(const Key& key, KeyOperation operation,
                                         Constant algorithm) = 0;
    // keyCreateEncryptedData encrypts with a public key; never asks the person anything.
    virtual std::optional<Bytes> keyCreateEncryptedData(const Key& key, Constant algorithm,
                                                        std::span<const std::uint8_t> plaintext,
                                                        std::optional<PlatformError>* error) = 0;
    // keyCreateDecryptedData decrypts with a private key, first running the presence prompt its
    // access control demands through the context the key was loaded with. Releases nothing when
    // the prompt is not passed or the ciphertext was not made for this key.
    virtual std::optional<SecretBytes> keyCreateDecryptedData(
        const Key& key, Constant algorithm, std::span<const std::uint8_t> ciphertext,
        std::optional<PlatformError>* error) = 0;

    // --- Entitlements: the running process's value for `name` (nothing on Linux). ---
    virtual EntitlementValue copyEntitlementValue(std::string_view name) = 0;

    // --- Authentication contexts. ---
    virtual std::shared_ptr<AuthContext> createAuthContext() = 0;
};

}  // namespace quorvane::platform
