#include "platform/linux/data_directory.h"
#include "platform/linux/item_identity.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/sqlite_item_store.h"
#include "platform/linux/statuses.h"
#include "platform/linux/stored_key.h"

namespace quorvane::platform {
namespace {

bool asks(const AttributeSet& query, std::string_view name) {
    const bool* flag = query.get<bool>(name);
    return flag != nullptr && *flag;
}

}  // namespace

LinuxPlatform::LinuxPlatform() = default;
LinuxPlatform::~LinuxPlatform() = default;

SqliteItemStore& LinuxPlatform::store() {
    // The location is read here, at the first item operation, not at start-up: modes that never
    // touch an item never look at the environment or the file system for it.
    if (!store_) store_ = std::make_unique<SqliteItemStore>(itemStorePath());
    return *store_;
}

OSStatus LinuxPlatform::itemAdd(const AttributeSet& attributes) {
    std::optional<ItemIdentity> identity = identityOf(attributes);
    std::optional<ItemContents> contents = contentsOf(attributes);
    if (!identity || !contents) return store_status::kBadAttributes;
    return store().add(*identity, *contents);
}

OSStatus LinuxPlatform::itemUpdate(const AttributeSet& query, const AttributeSet& changes) {
    std::optional<ItemIdentity> identity = identityOf(query);
    std::optional<ItemContents> contents = contentsOf(changes);
    // Renaming an item through an update is not something any caller needs; refusing it keeps
    // identities unique without a second lookup.
    if (!identity || !contents || namesIdentity(changes)) return store_status::kBadAttributes;
    return store().update(*identity, *contents);
}

OSStatus LinuxPlatform::itemCopyMatching(const AttributeSet& query, ItemResult* result) {
    std::optional<ItemIdentity> identity = identityOf(query);
    if (!identity || result == nullptr) return store_status::kBadAttributes;
    const bool isKey = std::holds_alternative<KeyIdentity>(*identity);
    const bool wantsData = asks(query, attr::kSecReturnData);
    const bool wantsRef = asks(query, attr::kSecReturnRef);
    // A password has no reference form, and a private key's bytes never leave the store through
    // a query, as a hardware-held key's would not.
    if ((!isKey && wantsRef) || (isKey && wantsData)) return store_status::kBadAttributes;

    StoredItem found;
    OSStatus status = store().find(*identity, &found);
    if (status != errSecSuccess) return status;
    if (wantsRef) {
        std::shared_ptr<AuthContext> context;
        if (const auto* given =
                query.get<std::shared_ptr<AuthContext>>(attr::kSecUseAuthenticationContext)) {
            context = *given;
        }
        std::shared_ptr<Key> key = keyRefFromStoredItem(
            StoredKeyItem{std::move(found.value),
                          static_cast<std::uint64_t>(found.accessControlFlags)},
            std::move(context));
        // Callers rely on success always coming with a reference; stored bytes that make no key
        // are damage, not absence.
        if (key == nullptr) return store_status::kCorrupt;
        *result = std::move(key);
    } else if (wantsData) {
        *result = std::move(found.value);
    }
    return errSecSuccess;
}

OSStatus LinuxPlatform::itemDelete(const AttributeSet& query) {
    std::optional<ItemIdentity> identity = identityOf(query);
    if (!identity) return store_status::kBadAttributes;
    return store().remove(*identity);
}

Platform& defaultPlatform() {
    static LinuxPlatform platform;
    return platform;
}

}  // namespace quorvane::platform
