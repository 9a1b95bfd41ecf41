#pragma once

#include "platform/item_store.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::platform {

// SoftwareKeyStore keeps a software presence key (P-256): the private scalar is made with
// OpenSSL, kept as the key item values::keyTag of an item store (32 raw bytes) and in process
// memory only while a request uses it. Whoever can read that item store can read the key; the
// item store chosen for it decides what protects it at rest (docs/presence.md). What it keeps is
// the contract: a key found for use decrypts only after the person confirmed through `presence`,
// and releases nothing otherwise.
//
// Failures carry plain words or the item store's detail. `items` and `presence` must outlive the
// store; one thread at a time.
class SoftwareKeyStore final : public KeyStore {
  public:
    SoftwareKeyStore(ItemStore& items, Presence& presence) : items_(items), presence_(presence) {}

    std::unique_ptr<PresenceKey> find() override;
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    std::unique_ptr<PresenceKey> create() override;
    void remove() override;
    // canCreate answers whether OpenSSL can make a P-256 scalar; it stores nothing.
    bool canCreate() override;

  private:
    ItemStore& items_;
    Presence& presence_;
};

}  // namespace quorvane::platform
