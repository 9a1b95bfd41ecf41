#pragma once

#include <string_view>

#include "platform/item_store.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::platform {

// SoftwareKeyStore keeps a software presence key (P-256): the private scalar is made with
// OpenSSL, kept as the key item kTag of an item store (32 raw bytes) and in process memory only
// while a request uses it. A 32-byte scalar under the tag of earlier versions, values::keyTag
// (where a TPM key item, told apart by its marker, may be instead), is found too. Whoever can read
// that item store can read the key; the item store chosen for it decides what protects it at rest
// (docs/presence.md). What it keeps is the contract: a key found for use decrypts only after the
// person confirmed through `presence`, and releases nothing otherwise.
//
// Failures carry plain words or the item store's detail. `items` and `presence` must outlive the
// store; one thread at a time.
class SoftwareKeyStore final : public KeyStore {
  public:
    // The tag of the key items this store makes.
    static constexpr std::string_view kTag = "com.quorvane.presence.software";

    SoftwareKeyStore(ItemStore& items, Presence& presence) : items_(items), presence_(presence) {}

    std::unique_ptr<PresenceKey> find() override;
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    std::unique_ptr<PresenceKey> create() override;
    // remove deletes the items under kTag and values::keyTag, whatever their format.
    void remove() override;
    // canCreate answers whether the item store can be read now and OpenSSL can make a P-256
    // scalar; it stores nothing.
    bool canCreate() override;

  private:
    ItemStore& items_;
    Presence& presence_;
};

}  // namespace quorvane::platform
