#pragma once

#include "macos/security_framework.h"
#include "platform/item_store.h"

namespace quorvane::platform {

// MacItemStore keeps named secrets as generic-password keychain items. Every query carries
// exactly kSecClass, kSecAttrService, kSecAttrAccount and, when the helper's entitlements name a
// keychain access group, kSecAttrAccessGroup, plus what each operation adds:
// - storeSecret updates the value and the accessibility (after first unlock) of the matching
//   item and adds the item when none matched (update failure: Step::replace with the status;
//   add failure: Step::create with the status). An add that meets an item another process added
//   after the update looked starts over with the update, a few times.
// - loadSecret asks for one item's data with a context that forbids interaction and the "fail"
//   authentication-UI setting, so the keychain never asks the person anything. Not found gives
//   nothing; another status Step::load; a result that is not data Step::damaged.
// - deleteSecret: not found is success; another status Step::remove.
// Statuses are written in signed decimal. Key items are not kept here: the Secure Enclave keeps
// its keys itself (MacKeyStore), so the key-item calls raise ItemStoreError.
class MacItemStore final : public ItemStore {
  public:
    explicit MacItemStore(SecurityFramework& framework) : framework_(framework) {}

    void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) override;
    std::optional<SecretBytes> loadSecret(const SecretName& name) override;
    void deleteSecret(const SecretName& name) override;
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override;
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override;
    void deleteKeyItem(std::string_view tag) override;

  private:
    AttributeSet baseQuery(const SecretName& name);
    SecurityFramework& framework_;
};

}  // namespace quorvane::platform
