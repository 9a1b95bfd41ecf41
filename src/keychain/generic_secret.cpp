#include "keychain/generic_secret.h"

#include <simdjson.h>

#include <memory>
#include <string>

#include "front/errors.h"
#include "keychain/access_group.h"

namespace quorvane {
namespace {

namespace attr = platform::attr;
namespace value = platform::value;

// How often a store starts over when its add meets an item that appeared after its update. Each
// round needs another process to add the item and yet another to delete it again in between, so
// a handful is plenty; the bound only stops a pathological loop.
constexpr int kStoreRounds = 8;

bool isUtf8(std::span<const std::uint8_t> bytes) {
    return simdjson::validate_utf8(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

platform::AttributeSet baseQuery(platform::Platform& platform, std::string_view service,
                                 std::string_view account) {
    platform::AttributeSet query;
    query.set(attr::kSecClass, value::kSecClassGenericPassword);
    query.set(attr::kSecAttrService, std::string(service));
    query.set(attr::kSecAttrAccount, std::string(account));
    addHelperKeychainAccessGroup(platform, query);
    return query;
}

std::string withStatus(std::string_view step, platform::OSStatus status) {
    return std::string(step) + std::to_string(status);
}

}  // namespace

void storeGenericSecret(platform::Platform& platform, std::string_view service,
                        std::string_view account, const SecretBytes& secret) {
    if (!isUtf8(secret.span())) throw HelperError("invalid secret utf8");
    auto data = std::make_shared<const SecretBytes>(SecretBytes::copyOf(secret.span()));

    platform::AttributeSet query = baseQuery(platform, service, account);
    platform::AttributeSet changes;
    changes.set(attr::kSecValueData, data);
    changes.set(attr::kSecAttrAccessible, value::kSecAttrAccessibleAfterFirstUnlock);
    platform::AttributeSet item = query;
    item.set(attr::kSecValueData, data);
    item.set(attr::kSecAttrAccessible, value::kSecAttrAccessibleAfterFirstUnlock);

    for (int round = 1;; ++round) {
        platform::OSStatus status = platform.itemUpdate(query, changes);
        if (status == platform::errSecSuccess) return;
        if (status != platform::errSecItemNotFound) {
            throw HelperError(withStatus("keychain secret update failed: ", status));
        }
        status = platform.itemAdd(item);
        if (status == platform::errSecSuccess) return;
        // Update-then-add is not atomic: two helpers storing a new name at once both see no item,
        // and the slower add finds the faster one's. Its value is no reason to fail; replacing
        // it is what this store was asked to do.
        if (status == platform::errSecDuplicateItem && round < kStoreRounds) continue;
        throw HelperError(withStatus("keychain secret store failed: ", status));
    }
}

SecretBytes loadGenericSecret(platform::Platform& platform, std::string_view service,
                              std::string_view account) {
    std::shared_ptr<platform::AuthContext> context = platform.createAuthContext();
    if (context) context->setInteractionNotAllowed(true);

    platform::AttributeSet query = baseQuery(platform, service, account);
    query.set(attr::kSecMatchLimit, value::kSecMatchLimitOne);
    query.set(attr::kSecReturnData, true);
    query.set(attr::kSecUseAuthenticationUI, value::kSecUseAuthenticationUIFail);
    query.set(attr::kSecUseAuthenticationContext, context);

    platform::ItemResult result;
    platform::OSStatus status = platform.itemCopyMatching(query, &result);
    if (status == platform::errSecItemNotFound) throw HelperError("keychain secret missing");
    if (status != platform::errSecSuccess) {
        throw HelperError(withStatus("keychain secret load failed: ", status));
    }
    auto* bytes = std::get_if<SecretBytes>(&result);
    if (bytes == nullptr || !isUtf8(bytes->span())) {
        throw HelperError("invalid keychain secret data");
    }
    return std::move(*bytes);
}

void deleteGenericSecret(platform::Platform& platform, std::string_view service,
                         std::string_view account) {
    platform::OSStatus status = platform.itemDelete(baseQuery(platform, service, account));
    if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
        throw HelperError(withStatus("keychain secret delete failed: ", status));
    }
}

}  // namespace quorvane
