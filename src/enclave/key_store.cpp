#include "enclave/key_store.h"

#include <string>

#include "enclave/presence.h"
#include "front/errors.h"
#include "front/process_values.h"

namespace quorvane {
namespace {

namespace attr = platform::attr;
namespace value = platform::value;

platform::AttributeSet baseQuery() {
    platform::AttributeSet query;
    query.set(attr::kSecClass, value::kSecClassKey);
    query.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    query.set(attr::kSecAttrApplicationTag, Bytes(values::keyTag.begin(), values::keyTag.end()));
    return query;
}

std::shared_ptr<platform::Key> returnedKey(platform::ItemResult& result) {
    auto* key = std::get_if<std::shared_ptr<platform::Key>>(&result);
    return key == nullptr ? nullptr : *key;
}

}  // namespace

std::shared_ptr<platform::Key> fetchPrivateKey(platform::Platform& platform) {
    platform::AttributeSet query = baseQuery();
    query.set(attr::kSecReturnRef, true);
    platform::ItemResult result;
    if (platform.itemCopyMatching(query, &result) != platform::errSecSuccess) return nullptr;
    return returnedKey(result);
}

std::shared_ptr<platform::Key> loadOrCreatePrivateKey(platform::Platform& platform) {
    if (auto existing = fetchPrivateKey(platform)) return existing;

    std::shared_ptr<platform::AccessControl> access = platform.accessControlCreateWithFlags(
        value::kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
        platform::kSecAccessControlPrivateKeyUsage | platform::kSecAccessControlBiometryCurrentSet);
    if (!access) throw HelperError("unable to create access control");

    auto privateAttributes = std::make_shared<platform::AttributeSet>();
    privateAttributes->set(attr::kSecAttrIsPermanent, true);
    privateAttributes->set(attr::kSecAttrApplicationTag,
                           Bytes(values::keyTag.begin(), values::keyTag.end()));
    privateAttributes->set(attr::kSecAttrAccessControl, std::move(access));
    platform::AttributeSet attributes;
    attributes.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    attributes.set(attr::kSecAttrKeySizeInBits, std::int64_t{256});
    attributes.set(attr::kSecAttrTokenID, value::kSecAttrTokenIDSecureEnclave);
    attributes.set(attr::kSecPrivateKeyAttrs,
                   std::shared_ptr<const platform::AttributeSet>(std::move(privateAttributes)));

    std::optional<PlatformError> error;
    std::shared_ptr<platform::Key> key = platform.keyCreateRandomKey(attributes, &error);
    if (!key) {
        throw HelperError("secure enclave key create failed: " +
                          (error ? error->description() : std::string("unknown")));
    }
    return key;
}

std::shared_ptr<platform::Key> loadPrivateKeyForUse(platform::Platform& platform,
                                                    std::string_view prompt) {
    std::shared_ptr<platform::AuthContext> context = makeContext(platform);
    context->setLocalizedReason(std::string(prompt));

    platform::AttributeSet query = baseQuery();
    query.set(attr::kSecReturnRef, true);
    query.set(attr::kSecUseAuthenticationContext, std::move(context));
    platform::ItemResult result;
    platform::OSStatus status = platform.itemCopyMatching(query, &result);
    if (status == platform::errSecSuccess) {
        if (auto key = returnedKey(result)) return key;
    } else if (status == platform::errSecItemNotFound) {
        throw HelperError("secure enclave key missing");
    }
    throw HelperError("secure enclave key load failed: " + std::to_string(status));
}

void deletePrivateKey(platform::Platform& platform) {
    platform::OSStatus status = platform.itemDelete(baseQuery());
    if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
        throw HelperError("secure enclave key delete failed: " + std::to_string(status));
    }
}

}  // namespace quorvane
