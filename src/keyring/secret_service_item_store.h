#pragma once

#include <chrono>
#include <memory>

#include "platform/item_store.h"

namespace quorvane::platform {

struct KeyringConnection;

// SecretServiceItemStore keeps the helper's items in the desktop keyring through the Secret
// Service API (libsecret, loaded at run time), in the collection the keyring calls "default"
// (the login keyring on GNOME).
//
// A named secret is an item with the string attributes service=<service> and account=<account>,
// exactly what `secret-tool store --label=... service S account A` makes, so the desktop's tools
// find, show and remove the helper's secrets, and the helper loads secrets they stored. Every item
// carrying these two attributes counts as the secret, as it does for `secret-tool lookup` and
// `clear`. A key item has the attributes kind=quorvane-key-item and tag=<tag> instead, so the two
// kinds never match each other's searches. Values are kept as bytes (text/plain when they are
// UTF-8, application/octet-stream otherwise) and any bytes come back unchanged.
//
// Failures raise ItemStoreError with the step of the interface and a detail in plain words:
// "the keyring is locked" when an item or the default collection is locked (nothing here ever
// unlocks, as that shows a prompt); "the keyring has no default collection"; "no session bus";
// "the keyring cannot hold a name that is not UTF-8" (D-Bus strings are UTF-8; such a name is
// never found and deleting it succeeds); "the Secret Service library is not installed"; the timeout
// text of BusDeadline; or the bus's or the service's own description.
//
// Every operation is one bounded wait on the session bus: it ends within `bound` plus at most one
// second, whatever the service does. A store is one CreateItem call that replaces the value in
// place, so readers see the old or the new value; it then removes any other item of the same name
// (one left in another collection, or made by another program), so one name never has two values.
//
// One object is used by one thread at a time; objects in different threads may work at once
// (libsecret shares one bus connection per process, which is thread-safe).
class SecretServiceItemStore final : public ItemStore {
  public:
    static constexpr std::chrono::milliseconds kDefaultBound{10000};

    explicit SecretServiceItemStore(std::chrono::milliseconds bound = kDefaultBound);
    ~SecretServiceItemStore() override;
    SecretServiceItemStore(const SecretServiceItemStore&) = delete;
    SecretServiceItemStore& operator=(const SecretServiceItemStore&) = delete;

    void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) override;
    std::optional<SecretBytes> loadSecret(const SecretName& name) override;
    std::optional<DatedSecret> loadDatedSecret(const SecretName& name) override;
    void deleteSecret(const SecretName& name) override;
    // addKeyItem holds a lock (a well-known name on the session bus, released by the bus if the
    // process dies) while it checks for the tag and creates the item, so two helpers adding the
    // same tag at once cannot both succeed.
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override;
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override;
    void deleteKeyItem(std::string_view tag) override;

  private:
    // connection loads libsecret and makes the connection's state on first use.
    KeyringConnection& connection(ItemStoreError::Step step);
    std::chrono::milliseconds bound_;
    std::unique_ptr<KeyringConnection> connection_;
};

}  // namespace quorvane::platform
