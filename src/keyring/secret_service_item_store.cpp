#include "keyring/secret_service_item_store.h"

#include <algorithm>
#include <string>

#include "keyring/keyring_operation.h"

namespace quorvane::platform {
namespace {

using Step = ItemStoreError::Step;

constexpr const char* kKeyItemKind = "quorvane-key-item";
constexpr const char* kKeyItemLabel = "Quorvane unlock key";
constexpr const char* kKeyItemLockName = "com.quorvane.Helper.KeyItemLock";
constexpr const char* kNotUtf8 = "the keyring cannot hold a name that is not UTF-8";
constexpr gulong kLockRetryMicroseconds = 20000;

// The schemas of the items this helper makes. Other programs may keep items with the same
// attributes under schemas of their own; those are never read, replaced or deleted here.
constexpr const char* kSecretSchema = "com.quorvane.helper.Secret";
constexpr const char* kKeyItemSchema = "com.quorvane.helper.KeyItem";

KeyringAttributes secretAttributes(const SecretName& name) {
    return {{"service", std::string(name.service)}, {"account", std::string(name.account)}};
}

KeyringAttributes keyAttributes(std::string_view tag) {
    return {{"kind", kKeyItemKind}, {"tag", std::string(tag)}};
}

// withSchema is `attributes` plus the schema an item made from them follows.
KeyringAttributes withSchema(KeyringAttributes attributes, const char* schema) {
    attributes.emplace_back(kSchemaAttribute, schema);
    return attributes;
}

std::string secretLabel(const SecretName& name) {
    return std::string(name.service) + " (" + std::string(name.account) + ")";
}

const char* objectPath(const GlibLibrary& glib, SecretItem* item) {
    return glib.g_dbus_proxy_get_object_path(reinterpret_cast<GDBusProxy*>(item));
}

// newest picks the most recently changed item: after a store it is the one just written.
SecretItem* newest(const GlibLibrary& glib, const FoundItems& items) {
    return *std::max_element(items.all().begin(), items.all().end(), [&](auto* a, auto* b) {
        return glib.secret_item_get_modified(a) < glib.secret_item_get_modified(b);
    });
}

// oldest picks the first key made: a key is never replaced, so the oldest is the one in use.
SecretItem* oldest(const GlibLibrary& glib, const FoundItems& items) {
    return *std::min_element(items.all().begin(), items.all().end(), [&](auto* a, auto* b) {
        return glib.secret_item_get_created(a) < glib.secret_item_get_created(b);
    });
}

// NameLock holds a well-known name on the session bus for as long as it lives: helpers that
// want the same name wait (within the operation's bound). A bus that refuses the name (a policy
// that forbids owning names) leaves the caller unlocked, as before this lock existed.
class NameLock {
  public:
    NameLock(KeyringOperation& operation, const GlibLibrary& glib, const char* name)
        : operation_(operation), name_(name) {
        std::optional<bool> owned;
        while ((owned = operation.requestName(name)) == false)
            glib.g_usleep(kLockRetryMicroseconds);
        owned_ = owned.has_value();
    }
    ~NameLock() {
        if (owned_) operation_.releaseName(name_);
    }
    NameLock(const NameLock&) = delete;
    NameLock& operator=(const NameLock&) = delete;

  private:
    KeyringOperation& operation_;
    const char* name_;
    bool owned_ = false;
};

}  // namespace

SecretServiceItemStore::SecretServiceItemStore(std::chrono::milliseconds bound) : bound_(bound) {}

SecretServiceItemStore::~SecretServiceItemStore() = default;

KeyringConnection& SecretServiceItemStore::connection(Step step) {
    if (!connection_) {
        const GlibLibrary* glib = glibLibrary();
        if (glib == nullptr)
            throw ItemStoreError(step, "the Secret Service library is not installed");
        connection_ = std::make_unique<KeyringConnection>(*glib);
    }
    return *connection_;
}

void SecretServiceItemStore::storeSecret(const SecretName& name,
                                         std::span<const std::uint8_t> value) {
    KeyringOperation operation(connection(Step::create), bound_, Step::create);
    if (!operation.isUtf8(name.service) || !operation.isUtf8(name.account)) {
        operation.fail(kNotUtf8);
    }
    KeyringAttributes attributes = secretAttributes(name);
    FoundItems earlier = operation.find(attributes, kSecretSchema, Step::replace);
    std::string storedPath;
    if (earlier.all().empty()) {
        SecretItem* stored =
            operation.create(withSchema(attributes, kSecretSchema), secretLabel(name), value, true);
        storedPath = objectPath(connection_->glib, stored);
        connection_->glib.g_object_unref(stored);
    } else {
        // The value changes where the person sees it: an item typed in by hand keeps its label.
        SecretItem* kept = newest(connection_->glib, earlier);
        operation.setValue(kept, value);
        storedPath = objectPath(connection_->glib, kept);
    }
    // Other items of the same name (in another collection, or with further attributes) would
    // otherwise keep an older value beside the new one.
    for (SecretItem* item : earlier.all()) {
        if (storedPath != objectPath(connection_->glib, item)) operation.remove(item);
    }
}

std::optional<SecretBytes> SecretServiceItemStore::loadSecret(const SecretName& name) {
    std::optional<DatedSecret> dated = loadDatedSecret(name);
    if (!dated) return std::nullopt;
    return std::move(dated->value);
}

std::optional<DatedSecret> SecretServiceItemStore::loadDatedSecret(const SecretName& name) {
    KeyringOperation operation(connection(Step::load), bound_, Step::load);
    if (!operation.isUtf8(name.service) || !operation.isUtf8(name.account)) return std::nullopt;
    // By path: a load is what a one-shot command does most, and item objects would cost it more
    // bus calls than the rest of the command together.
    auto found = operation.newestPath(secretAttributes(name), kSecretSchema);
    if (!found) {
        operation.failIfLocked();
        return std::nullopt;
    }
    return DatedSecret{operation.valueAt(found->first), found->second};
}

void SecretServiceItemStore::deleteSecret(const SecretName& name) {
    KeyringOperation operation(connection(Step::remove), bound_, Step::remove);
    if (!operation.isUtf8(name.service) || !operation.isUtf8(name.account)) return;
    FoundItems items = operation.find(secretAttributes(name), kSecretSchema);
    for (SecretItem* item : items.all()) operation.remove(item);
}

bool SecretServiceItemStore::addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) {
    KeyringOperation operation(connection(Step::create), bound_, Step::create);
    if (!operation.isUtf8(tag)) operation.fail(kNotUtf8);
    // Without the lock, two helpers could both find no item and both add one, each then using a
    // different key. One lock per session, not per tag: keys are made rarely.
    NameLock lock(operation, connection_->glib, kKeyItemLockName);
    KeyringAttributes attributes = keyAttributes(tag);
    if (!operation.find(attributes, kKeyItemSchema).all().empty()) return false;
    SecretItem* item =
        operation.create(withSchema(attributes, kKeyItemSchema), kKeyItemLabel, bytes, false);
    connection_->glib.g_object_unref(item);
    return true;
}

std::optional<SecretBytes> SecretServiceItemStore::findKeyItem(std::string_view tag) {
    KeyringOperation operation(connection(Step::load), bound_, Step::load);
    if (!operation.isUtf8(tag)) return std::nullopt;
    FoundItems items = operation.find(keyAttributes(tag), kKeyItemSchema);
    if (items.all().empty()) {
        operation.failIfLocked();
        return std::nullopt;
    }
    return operation.value(oldest(connection_->glib, items));
}

void SecretServiceItemStore::deleteKeyItem(std::string_view tag) {
    KeyringOperation operation(connection(Step::remove), bound_, Step::remove);
    if (!operation.isUtf8(tag)) return;
    FoundItems items = operation.find(keyAttributes(tag), kKeyItemSchema);
    for (SecretItem* item : items.all()) operation.remove(item);
}

}  // namespace quorvane::platform
