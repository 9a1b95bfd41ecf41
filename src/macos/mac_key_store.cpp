#include "macos/mac_key_store.h"

#include <string>

#include "base/process_values.h"
#include "macos/mac_presence.h"

namespace quorvane::platform {
namespace {

constexpr Constant kAlgorithm{values::algorithm};

std::string described(const std::optional<PlatformError>& error) {
    return error ? error->description() : std::string();
}

AttributeSet baseQuery() {
    AttributeSet query;
    query.set(attr::kSecClass, value::kSecClassKey);
    query.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    query.set(attr::kSecAttrApplicationTag, Bytes(values::keyTag.begin(), values::keyTag.end()));
    return query;
}

// A key reference as the framework gave it, for one request.
class MacPresenceKey final : public PresenceKey {
  public:
    MacPresenceKey(SecurityFramework& framework, std::shared_ptr<Key> key)
        : framework_(framework), key_(std::move(key)) {}

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        std::shared_ptr<Key> publicKey = framework_.keyCopyPublicKey(*key_);
        if (!publicKey) throw KeyStoreError(KeyStoreError::Step::publicKey, {});
        if (!framework_.keyIsAlgorithmSupported(*publicKey, KeyOperation::encrypt, kAlgorithm)) {
            throw KeyStoreError(KeyStoreError::Step::encryptUnsupported, {});
        }
        std::optional<PlatformError> error;
        std::optional<Bytes> wrapped =
            framework_.keyCreateEncryptedData(*publicKey, kAlgorithm, plaintext, &error);
        if (!wrapped) throw KeyStoreError(KeyStoreError::Step::encrypt, described(error));
        return std::move(*wrapped);
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        if (!framework_.keyIsAlgorithmSupported(*key_, KeyOperation::decrypt, kAlgorithm)) {
            throw KeyStoreError(KeyStoreError::Step::decryptUnsupported, {});
        }
        // The person is asked here, inside the framework's decryption.
        std::optional<PlatformError> error;
        std::optional<SecretBytes> plaintext =
            framework_.keyCreateDecryptedData(*key_, kAlgorithm, blob, &error);
        if (!plaintext) throw KeyStoreError(KeyStoreError::Step::decrypt, described(error));
        return std::move(*plaintext);
    }

  private:
    SecurityFramework& framework_;
    std::shared_ptr<Key> key_;
};

std::shared_ptr<Key> returnedKey(ItemResult& result) {
    auto* key = std::get_if<std::shared_ptr<Key>>(&result);
    return key == nullptr ? nullptr : *key;
}

}  // namespace

std::unique_ptr<PresenceKey> MacKeyStore::find() {
    AttributeSet query = baseQuery();
    query.set(attr::kSecReturnRef, true);
    ItemResult result;
    if (framework_.itemCopyMatching(query, &result) != errSecSuccess) return nullptr;
    std::shared_ptr<Key> key = returnedKey(result);
    if (!key) return nullptr;
    return std::make_unique<MacPresenceKey>(framework_, std::move(key));
}

std::unique_ptr<PresenceKey> MacKeyStore::findForUse(const PromptRequest& request) {
    std::shared_ptr<AuthContext> context = makeEvaluableContext(framework_);
    context->setLocalizedReason(std::string(request.reason));

    AttributeSet query = baseQuery();
    query.set(attr::kSecReturnRef, true);
    query.set(attr::kSecUseAuthenticationContext, std::move(context));
    ItemResult result;
    OSStatus status = framework_.itemCopyMatching(query, &result);
    if (status == errSecItemNotFound) return nullptr;
    if (status == errSecSuccess) {
        if (std::shared_ptr<Key> key = returnedKey(result)) {
            return std::make_unique<MacPresenceKey>(framework_, std::move(key));
        }
    }
    // A success that brought no key is as unusable as any other failed lookup.
    throw KeyStoreError(KeyStoreError::Step::load, std::to_string(status));
}

std::unique_ptr<PresenceKey> MacKeyStore::create() {
    std::shared_ptr<AccessControl> access = framework_.accessControlCreateWithFlags(
        value::kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
        kSecAccessControlPrivateKeyUsage | kSecAccessControlBiometryCurrentSet);
    if (!access) throw KeyStoreError(KeyStoreError::Step::accessControl, {});

    auto privateAttributes = std::make_shared<AttributeSet>();
    privateAttributes->set(attr::kSecAttrIsPermanent, true);
    privateAttributes->set(attr::kSecAttrApplicationTag,
                           Bytes(values::keyTag.begin(), values::keyTag.end()));
    privateAttributes->set(attr::kSecAttrAccessControl, std::move(access));
    AttributeSet attributes;
    attributes.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    attributes.set(attr::kSecAttrKeySizeInBits, std::int64_t{256});
    attributes.set(attr::kSecAttrTokenID, value::kSecAttrTokenIDSecureEnclave);
    attributes.set(attr::kSecPrivateKeyAttrs,
                   std::shared_ptr<const AttributeSet>(std::move(privateAttributes)));

    std::optional<PlatformError> error;
    std::shared_ptr<Key> key = framework_.keyCreateRandomKey(attributes, &error);
    if (!key) throw KeyStoreError(KeyStoreError::Step::create, described(error));
    return std::make_unique<MacPresenceKey>(framework_, std::move(key));
}

void MacKeyStore::remove() {
    OSStatus status = framework_.itemDelete(baseQuery());
    if (status != errSecSuccess && status != errSecItemNotFound) {
        throw KeyStoreError(KeyStoreError::Step::remove, std::to_string(status));
    }
}

bool MacKeyStore::canCreate() {
    auto privateAttributes = std::make_shared<AttributeSet>();
    privateAttributes->set(attr::kSecAttrIsPermanent, false);
    AttributeSet probe;
    probe.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    probe.set(attr::kSecAttrKeySizeInBits, std::int64_t{256});
    probe.set(attr::kSecAttrTokenID, value::kSecAttrTokenIDSecureEnclave);
    probe.set(attr::kSecPrivateKeyAttrs,
              std::shared_ptr<const AttributeSet>(std::move(privateAttributes)));
    try {
        std::optional<PlatformError> ignored;  // why a probe failed is not reported
        return framework_.keyCreateRandomKey(probe, &ignored) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace quorvane::platform
