#include "platform/linux/linux_platform.h"
#include "platform/linux/stored_key.h"

namespace quorvane::platform {

std::shared_ptr<AccessControl> LinuxPlatform::accessControlCreateWithFlags(Constant protection,
                                                                           std::uint64_t flags) {
    return std::make_shared<AccessControl>(protection, flags);
}
std::shared_ptr<Key> LinuxPlatform::keyCreateRandomKey(const AttributeSet&,
                                                       std::optional<PlatformError>*) {
    return nullptr;
}
std::shared_ptr<Key> LinuxPlatform::keyCopyPublicKey(const Key&) { return nullptr; }
bool LinuxPlatform::keyIsAlgorithmSupported(const Key&, KeyOperation, Constant) { return false; }
std::optional<Bytes> LinuxPlatform::keyCreateEncryptedData(const Key&, Constant,
                                                           std::span<const std::uint8_t>,
                                                           std::optional<PlatformError>*) {
    return std::nullopt;
}
std::optional<SecretBytes> LinuxPlatform::keyCreateDecryptedData(const Key&, Constant,
                                                                 std::span<const std::uint8_t>,
                                                                 std::optional<PlatformError>*) {
    return std::nullopt;
}
EntitlementValue LinuxPlatform::copyEntitlementValue(std::string_view) { return {}; }
std::shared_ptr<AuthContext> LinuxPlatform::createAuthContext() { return nullptr; }

}  // namespace quorvane::platform

namespace quorvane::platform {

std::shared_ptr<Key> keyRefFromStoredItem(StoredKeyItem, std::shared_ptr<AuthContext>) {
    return nullptr;
}

}  // namespace quorvane::platform
