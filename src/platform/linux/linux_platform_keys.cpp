#include "platform/linux/linux_platform.h"
#include "platform/linux/p256.h"
#include "platform/linux/polkit_context.h"
#include "platform/linux/software_key.h"
#include "platform/linux/stored_key.h"

// Key, context and entitlement operations of the Linux backend. Keys are software P-256 keys
// (see software_key.h); a permanent key is one key item in the item store.

namespace quorvane::platform {
namespace {

constexpr Constant kWrapAlgorithm =
    value::kSecKeyAlgorithmECIESEncryptionCofactorVariableIVX963SHA256AESGCM;

const SoftwareKey* softwareKey(const Key& key) { return dynamic_cast<const SoftwareKey*>(&key); }

void setError(std::optional<PlatformError>* slot, PlatformError error) {
    if (slot != nullptr) *slot = std::move(error);
}

// creationProblem checks the attribute set against the one kind of key this backend makes.
std::optional<std::string> creationProblem(const AttributeSet& attributes) {
    const Constant* type = attributes.get<Constant>(attr::kSecAttrKeyType);
    if (type == nullptr || *type != value::kSecAttrKeyTypeECSECPrimeRandom) {
        return "only P-256 keys can be made";
    }
    const std::int64_t* bits = attributes.get<std::int64_t>(attr::kSecAttrKeySizeInBits);
    if (bits == nullptr || *bits != 256) return "only 256-bit keys can be made";
    const Constant* token = attributes.get<Constant>(attr::kSecAttrTokenID);
    if (attributes.contains(attr::kSecAttrTokenID) &&
        (token == nullptr || *token != value::kSecAttrTokenIDSecureEnclave)) {
        return "unknown key token";
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<AccessControl> LinuxPlatform::accessControlCreateWithFlags(Constant protection,
                                                                           std::uint64_t flags) {
    return std::make_shared<AccessControl>(protection, flags);
}

std::shared_ptr<Key> LinuxPlatform::keyCreateRandomKey(const AttributeSet& attributes,
                                                       std::optional<PlatformError>* error) {
    try {
        if (auto problem = creationProblem(attributes)) {
            setError(error, PlatformError(*problem));
            return nullptr;
        }
        const AttributeSet* privateAttributes = nullptr;
        if (auto* nested =
                attributes.get<std::shared_ptr<const AttributeSet>>(attr::kSecPrivateKeyAttrs)) {
            privateAttributes = nested->get();
        }
        std::uint64_t flags = 0;
        bool permanent = false;
        if (privateAttributes != nullptr) {
            if (auto* control = privateAttributes->get<std::shared_ptr<AccessControl>>(
                    attr::kSecAttrAccessControl);
                control != nullptr && *control) {
                flags = (*control)->flags();
            }
            const bool* isPermanent = privateAttributes->get<bool>(attr::kSecAttrIsPermanent);
            permanent = isPermanent != nullptr && *isPermanent;
        }

        SecretBytes scalar = p256::generateScalar();
        if (permanent) {
            // The key item keeps the scalar and the access control; the store's identity for
            // it is class, key type and application tag.
            AttributeSet item;
            item.set(attr::kSecClass, value::kSecClassKey);
            item.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
            if (auto* tag = privateAttributes->get<Bytes>(attr::kSecAttrApplicationTag)) {
                item.set(attr::kSecAttrApplicationTag, *tag);
            }
            item.set(attr::kSecValueData,
                     std::make_shared<const SecretBytes>(SecretBytes::copyOf(scalar.span())));
            item.set(kStoredAccessControlFlags, static_cast<std::int64_t>(flags));
            OSStatus status = itemAdd(item);
            if (status != errSecSuccess) {
                setError(error, PlatformError("the new key could not be stored (status " +
                                              std::to_string(status) + ")"));
                return nullptr;
            }
        }
        return SoftwareKey::makePrivate(std::move(scalar), flags, nullptr);
    } catch (const PlatformError& failure) {
        setError(error, failure);
        return nullptr;
    }
}

std::shared_ptr<Key> LinuxPlatform::keyCopyPublicKey(const Key& key) {
    const SoftwareKey* software = softwareKey(key);
    return software == nullptr ? nullptr : software->publicKey();
}

bool LinuxPlatform::keyIsAlgorithmSupported(const Key& key, KeyOperation operation,
                                            Constant algorithm) {
    const SoftwareKey* software = softwareKey(key);
    if (software == nullptr || algorithm != kWrapAlgorithm) return false;
    // As with the platform's keys: public keys encrypt, private keys decrypt.
    return operation == KeyOperation::encrypt ? !software->isPrivate() : software->isPrivate();
}

std::optional<Bytes> LinuxPlatform::keyCreateEncryptedData(const Key& key, Constant algorithm,
                                                           std::span<const std::uint8_t> plaintext,
                                                           std::optional<PlatformError>* error) {
    if (!keyIsAlgorithmSupported(key, KeyOperation::encrypt, algorithm)) {
        setError(error, PlatformError("algorithm not supported by this key"));
        return std::nullopt;
    }
    try {
        return softwareKey(key)->encrypt(plaintext);
    } catch (const PlatformError& failure) {
        setError(error, failure);
        return std::nullopt;
    }
}

std::optional<SecretBytes> LinuxPlatform::keyCreateDecryptedData(
    const Key& key, Constant algorithm, std::span<const std::uint8_t> ciphertext,
    std::optional<PlatformError>* error) {
    if (!keyIsAlgorithmSupported(key, KeyOperation::decrypt, algorithm)) {
        setError(error, PlatformError("algorithm not supported by this key"));
        return std::nullopt;
    }
    try {
        return softwareKey(key)->decrypt(ciphertext);
    } catch (const PlatformError& failure) {
        setError(error, failure);
        return std::nullopt;
    }
}

EntitlementValue LinuxPlatform::copyEntitlementValue(std::string_view) {
    // Linux has no code-signing entitlements.
    return {};
}

std::shared_ptr<AuthContext> LinuxPlatform::createAuthContext() {
    return std::make_shared<PolkitAuthContext>();
}

std::shared_ptr<Key> keyRefFromStoredItem(StoredKeyItem item,
                                          std::shared_ptr<AuthContext> context) {
    return SoftwareKey::makePrivate(std::move(item.privateKey), item.accessControlFlags,
                                    std::move(context));
}

}  // namespace quorvane::platform
