#include "file_store/file_store.h"

#include <chrono>
#include <string>

#include "file_store/data_directory.h"

namespace quorvane::platform {
namespace {

// How often a store starts over when its add meets a row that appeared after its update. Each
// round needs another process to add the row and yet another to delete it again in between, so
// a handful is plenty; the bound only stops a pathological loop.
constexpr int kStoreRounds = 8;

// The constants the rows carry, as the keychain names them, so the file keeps one format
// whichever helper wrote it.
constexpr std::string_view kAccessibleAfterFirstUnlock = "kSecAttrAccessibleAfterFirstUnlock";
constexpr std::string_view kKeyTypeP256 = "kSecAttrKeyTypeECSECPrimeRandom";
// Every key this helper makes demands the person's presence ("private key usage" and "current
// biometry set"); older helpers read the flags from the row to decide whether to ask.
constexpr std::int64_t kPresenceKeyFlags = 0x40000000 | 0x8;

GenericPasswordIdentity secretIdentity(const SecretName& name) {
    return {std::string(name.service), std::string(name.account), std::nullopt};
}

KeyIdentity keyIdentity(std::string_view tag) {
    return {std::string(kKeyTypeP256), Bytes(tag.begin(), tag.end())};
}

std::optional<SecretBytes> found(StoreDatabase& store, const ItemIdentity& identity) {
    StoredItem item;
    ItemStatus status = store.find(identity, &item);
    if (status == store_status::kNotFound) return std::nullopt;
    if (status != store_status::kSuccess) throw ItemStoreError(ItemStoreError::Step::load, status);
    return std::move(item.value);
}

void removed(StoreDatabase& store, const ItemIdentity& identity) {
    ItemStatus status = store.remove(identity);
    if (status != store_status::kSuccess && status != store_status::kNotFound) {
        throw ItemStoreError(ItemStoreError::Step::remove, status);
    }
}

}  // namespace

FileStore::FileStore(std::optional<std::filesystem::path> path) : store_(std::move(path)) {}

void FileStore::storeSecret(const SecretName& name, std::span<const std::uint8_t> value) {
    const ItemIdentity identity = secretIdentity(name);
    // The write time tells this copy from a newer one the desktop keyring may get later.
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    for (int round = 1;; ++round) {
        ItemStatus status = store_.update(
            identity,
            {SecretBytes::copyOf(value), std::string(kAccessibleAfterFirstUnlock), {}, now});
        if (status == store_status::kSuccess) return;
        if (status != store_status::kNotFound)
            throw ItemStoreError(ItemStoreError::Step::replace, status);
        status = store_.add(
            identity,
            {SecretBytes::copyOf(value), std::string(kAccessibleAfterFirstUnlock), {}, now});
        if (status == store_status::kSuccess) return;
        // Two helpers storing a new name at once both see no row, and the slower add finds the
        // faster one's. Replacing it is what this store was asked to do.
        if (status == store_status::kDuplicate && round < kStoreRounds) continue;
        throw ItemStoreError(ItemStoreError::Step::create, status);
    }
}

std::optional<SecretBytes> FileStore::loadSecret(const SecretName& name) {
    return found(store_, secretIdentity(name));
}

std::optional<DatedSecret> FileStore::loadDatedSecret(const SecretName& name) {
    StoredItem item;
    ItemStatus status = store_.find(secretIdentity(name), &item);
    if (status == store_status::kNotFound) return std::nullopt;
    if (status != store_status::kSuccess) throw ItemStoreError(ItemStoreError::Step::load, status);
    std::optional<std::int64_t> seconds;
    if (item.modifiedMilliseconds) seconds = *item.modifiedMilliseconds / 1000;
    return DatedSecret{std::move(item.value), seconds};
}

void FileStore::deleteSecret(const SecretName& name) { removed(store_, secretIdentity(name)); }

bool FileStore::addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) {
    ItemStatus status =
        store_.add(keyIdentity(tag), {SecretBytes::copyOf(bytes), {}, kPresenceKeyFlags, {}});
    if (status == store_status::kDuplicate) return false;
    if (status != store_status::kSuccess)
        throw ItemStoreError(ItemStoreError::Step::create, status);
    return true;
}

std::optional<SecretBytes> FileStore::findKeyItem(std::string_view tag) {
    return found(store_, keyIdentity(tag));
}

void FileStore::deleteKeyItem(std::string_view tag) { removed(store_, keyIdentity(tag)); }

std::unique_ptr<ItemStore> makeFileStore() {
    // The location is read here, when the store is first needed, not at start-up: modes that
    // never touch an item never look at the environment or the file system for it.
    return std::make_unique<FileStore>(itemStorePath());
}

}  // namespace quorvane::platform
