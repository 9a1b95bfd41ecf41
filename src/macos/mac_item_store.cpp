#include "macos/mac_item_store.h"

#include <memory>
#include <string>

#include "macos/access_group.h"

namespace quorvane::platform {
namespace {

// How often a store starts over when its add meets an item that appeared after its update. Each
// round needs another process to add the item and yet another to delete it again in between, so
// a handful is plenty; the bound only stops a pathological loop.
constexpr int kStoreRounds = 8;

ItemStoreError failed(ItemStoreError::Step step, OSStatus status) {
    return ItemStoreError(step, itemStatusOf(status));
}

ItemStoreError noKeyItems(ItemStoreError::Step step) {
    return ItemStoreError(step, "key items are kept by the Secure Enclave");
}

}  // namespace

AttributeSet MacItemStore::baseQuery(const SecretName& name) {
    AttributeSet query;
    query.set(attr::kSecClass, value::kSecClassGenericPassword);
    query.set(attr::kSecAttrService, std::string(name.service));
    query.set(attr::kSecAttrAccount, std::string(name.account));
    addHelperKeychainAccessGroup(framework_, query);
    return query;
}

void MacItemStore::storeSecret(const SecretName& name, std::span<const std::uint8_t> value) {
    auto data = std::make_shared<const SecretBytes>(SecretBytes::copyOf(value));

    AttributeSet query = baseQuery(name);
    AttributeSet changes;
    changes.set(attr::kSecValueData, data);
    changes.set(attr::kSecAttrAccessible, value::kSecAttrAccessibleAfterFirstUnlock);
    AttributeSet item = query;
    item.set(attr::kSecValueData, data);
    item.set(attr::kSecAttrAccessible, value::kSecAttrAccessibleAfterFirstUnlock);

    for (int round = 1;; ++round) {
        OSStatus status = framework_.itemUpdate(query, changes);
        if (status == errSecSuccess) return;
        if (status != errSecItemNotFound) throw failed(ItemStoreError::Step::replace, status);
        status = framework_.itemAdd(item);
        if (status == errSecSuccess) return;
        // Update-then-add is not atomic: two helpers storing a new name at once both see no item,
        // and the slower add finds the faster one's. Its value is no reason to fail; replacing
        // it is what this store was asked to do.
        if (status == errSecDuplicateItem && round < kStoreRounds) continue;
        throw failed(ItemStoreError::Step::create, status);
    }
}

std::optional<SecretBytes> MacItemStore::loadSecret(const SecretName& name) {
    std::shared_ptr<AuthContext> context = framework_.createAuthContext();
    if (context) context->setInteractionNotAllowed(true);

    AttributeSet query = baseQuery(name);
    query.set(attr::kSecMatchLimit, value::kSecMatchLimitOne);
    query.set(attr::kSecReturnData, true);
    query.set(attr::kSecUseAuthenticationUI, value::kSecUseAuthenticationUIFail);
    query.set(attr::kSecUseAuthenticationContext, context);

    ItemResult result;
    OSStatus status = framework_.itemCopyMatching(query, &result);
    if (status == errSecItemNotFound) return std::nullopt;
    if (status != errSecSuccess) throw failed(ItemStoreError::Step::load, status);
    auto* bytes = std::get_if<SecretBytes>(&result);
    if (bytes == nullptr) throw ItemStoreError(ItemStoreError::Step::damaged, "not data");
    return std::move(*bytes);
}

void MacItemStore::deleteSecret(const SecretName& name) {
    OSStatus status = framework_.itemDelete(baseQuery(name));
    if (status != errSecSuccess && status != errSecItemNotFound) {
        throw failed(ItemStoreError::Step::remove, status);
    }
}

bool MacItemStore::addKeyItem(std::string_view, std::span<const std::uint8_t>) {
    throw noKeyItems(ItemStoreError::Step::create);
}

std::optional<SecretBytes> MacItemStore::findKeyItem(std::string_view) {
    throw noKeyItems(ItemStoreError::Step::load);
}

void MacItemStore::deleteKeyItem(std::string_view) {
    throw noKeyItems(ItemStoreError::Step::remove);
}

}  // namespace quorvane::platform
