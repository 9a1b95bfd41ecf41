#pragma once

#include <memory>

#include "platform/platform.h"

namespace quorvane::platform {

class SqliteItemStore;

// LinuxPlatform is the embedded Linux backend: items in an SQLite store under the XDG data
// directory, software P-256 keys kept as key items in that store, presence through polkit on the
// D-Bus system bus, and no entitlements. Nothing is opened until an operation needs it.
//
// Item operations live in linux_platform_items.cpp; key, context and entitlement operations in
// linux_platform_keys.cpp.
class LinuxPlatform : public Platform {
public:
    LinuxPlatform();
    ~LinuxPlatform() override;

    OSStatus itemAdd(const AttributeSet& attributes) override;
    OSStatus itemUpdate(const AttributeSet& query, const AttributeSet& changes) override;
    OSStatus itemCopyMatching(const AttributeSet& query, ItemResult* result) override;
    OSStatus itemDelete(const AttributeSet& query) override;

    std::shared_ptr<AccessControl> accessControlCreateWithFlags(Constant protection,
                                                                std::uint64_t flags) override;
    std::shared_ptr<Key> keyCreateRandomKey(const AttributeSet& attributes,
                                            std::optional<PlatformError>* error) override;
    std::shared_ptr<Key> keyCopyPublicKey(const Key& key) override;
    bool keyIsAlgorithmSupported(const Key& key, KeyOperation operation,
                                 Constant algorithm) override;
    std::optional<Bytes> keyCreateEncryptedData(const Key& key, Constant algorithm,
                                                std::span<const std::uint8_t> plaintext,
                                                std::optional<PlatformError>* error) override;
    std::optional<SecretBytes> keyCreateDecryptedData(const Key& key, Constant algorithm,
                                                      std::span<const std::uint8_t> ciphertext,
                                                      std::optional<PlatformError>* error) override;
    EntitlementValue copyEntitlementValue(std::string_view name) override;
    std::shared_ptr<AuthContext> createAuthContext() override;

private:
    // store opens the item store on first use.
    SqliteItemStore& store();
    std::unique_ptr<SqliteItemStore> store_;
};

}  // namespace quorvane::platform
