#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/item_store.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::platform {

// Services is the set of platform services the helper uses: one item store, one key store and one
// presence prompt, each made on first use (so a mode that needs none of them starts none, and a
// request that needs only one starts only that one). The key store may use the item store and the
// presence prompt of the same set. One object is used by one thread at a time.
class Services {
  public:
    using ItemStoreMaker = std::function<std::unique_ptr<ItemStore>(Services&)>;
    using KeyStoreMaker = std::function<std::unique_ptr<KeyStore>(Services&)>;
    using PresenceMaker = std::function<std::unique_ptr<Presence>(Services&)>;

    Services(ItemStoreMaker items, KeyStoreMaker keys, PresenceMaker presence)
        : makeItems_(std::move(items)),
          makeKeys_(std::move(keys)),
          makePresence_(std::move(presence)) {}
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    ItemStore& items() { return made(items_, makeItems_); }
    KeyStore& keys() { return made(keys_, makeKeys_); }
    Presence& presence() { return made(presence_, makePresence_); }

  private:
    template <class Service, class Maker>
    Service& made(std::unique_ptr<Service>& slot, const Maker& make) {
        if (!slot) slot = make(*this);
        return *slot;
    }

    ItemStoreMaker makeItems_;
    KeyStoreMaker makeKeys_;
    PresenceMaker makePresence_;
    // Declared in dependency order: the key store may hold references to the other two, so it
    // is destroyed first.
    std::unique_ptr<ItemStore> items_;
    std::unique_ptr<Presence> presence_;
    std::unique_ptr<KeyStore> keys_;
};

// assembleServices returns the services of this machine: for each service, the first backend in
// the documented order (docs/platform.md) that answers here. Reads the test settings, and only
// here. Opens nothing itself; each backend is chosen and opened when first used.
std::unique_ptr<Services> assembleServices();

}  // namespace quorvane::platform
