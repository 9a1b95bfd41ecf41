#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/item_store.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::platform {

// TpmKeyStore keeps the presence key inside a TPM 2.0: the TPM makes the P-256 key under its
// storage root key and hands out only the key wrapped for itself, which is kept as the key item
// (platform/tpm/tpm_key_item.h) in the item store under the helper's tag, values::keyTag. The
// private scalar never exists outside the TPM, so a copy of the item store opens nothing on another
// machine or after the TPM was cleared.
//
// Encrypting needs only the public point and talks to no TPM. Decrypting asks the person through
// `presence` first, then has the TPM compute the ECDH product with the blob's ephemeral point
// (TPM2_ECDH_ZGen, in a session salted with the storage root key that encrypts the answer on its
// way out) and finishes the wrap algorithm in software.
//
// An item in another format (a software key item) is not this store's: find and findForUse
// answer "no key" for it, so a composite store can hand it to the store that made it. remove
// deletes the item under the tag whatever its format.
//
// One object is used by one thread at a time. Every TPM handle is flushed before a call returns.
class TpmKeyStore final : public KeyStore {
  public:
    // The TPM of this machine, through the kernel's resource manager. Never the TCTI loader's
    // default search, which ends at a network simulator port that any local process could open.
    static constexpr const char* kDeviceTcti = "device:/dev/tpmrm0";

    // `items` and `presence` must outlive the store. `tcti` names the TPM (kDeviceTcti in
    // production). Opens nothing.
    TpmKeyStore(ItemStore& items, Presence& presence, std::string tcti);

    // find: the key for encryption when the item under the tag is a readable TPM key item;
    // nullptr otherwise (absent, another format, damaged, unreadable store). Talks to no TPM.
    std::unique_ptr<PresenceKey> find() override;
    // findForUse: raises PresenceUnavailable when no prompt can be offered; nullptr when there is
    // no item or it is in another format; KeyStoreError(Step::load) when the store cannot be read
    // or the TPM key item is damaged. Talks to no TPM; the returned key's decrypt does.
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    // create: makes a key in the TPM and adds its item. Raises KeyStoreError(Step::create) with
    // the reason when the TPM cannot be used, the store fails, or an item exists under the tag.
    std::unique_ptr<PresenceKey> create() override;
    // remove: deletes the item under the tag. Raises KeyStoreError(Step::remove).
    void remove() override;
    // canCreate: unavailableReason() is empty.
    bool canCreate() override;

    // unavailableReason: nothing when the TPM at `tcti` opens, answers and can make its storage
    // root key now; otherwise why not, in plain words (no device, no permission, no answer, no
    // libtss2). Stores nothing; never raises.
    static std::optional<std::string> unavailableReason(const std::string& tcti);

  private:
    ItemStore& items_;
    Presence& presence_;
    std::string tcti_;
};

}  // namespace quorvane::platform
