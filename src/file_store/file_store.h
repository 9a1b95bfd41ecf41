#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "file_store/store_database.h"
#include "platform/item_store.h"

namespace quorvane::platform {

// FileStore is the item store of a machine without a desktop keyring: one SQLite file of the
// user's (store_database.h; by default $XDG_DATA_HOME/quorvane/keychain.sqlite3), protected by
// its file permissions alone. Named secrets are generic-password rows (service, account, no
// access group); key items are key rows under their tag. Failures carry the store's status in
// signed decimal (statuses.h and docs/secrets.md list them).
//
// A store replaces a value by updating the row and adds the row when there was none; an add that
// meets a row another process added meanwhile starts over with the update, a few times.
class FileStore final : public ItemStore {
  public:
    // `path` is the database file; nothing makes every operation fail (no place for a store).
    // Nothing is opened until the first operation.
    explicit FileStore(std::optional<std::filesystem::path> path);

    void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) override;
    std::optional<SecretBytes> loadSecret(const SecretName& name) override;
    std::optional<DatedSecret> loadDatedSecret(const SecretName& name) override;
    void deleteSecret(const SecretName& name) override;
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override;
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override;
    void deleteKeyItem(std::string_view tag) override;

  private:
    StoreDatabase store_;
};

// makeFileStore returns the file store at its conventional place (itemStorePath()), read
// from the environment when called.
std::unique_ptr<ItemStore> makeFileStore();

}  // namespace quorvane::platform
