#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/item_store.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::platform {

// TpmKeyStore keeps the presence key inside a TPM 2.0 that the user's own processes can reach:
// the TPM makes the P-256 key under its storage root key and hands out only the key wrapped for
// itself, which is kept as the key item (tpm/tpm_key_item.h) in the user's item store.
// The private scalar never exists outside the TPM, so a copy of the item store opens nothing on
// another machine or after the TPM was cleared. The key has no auth value: every process that can
// reach the TPM (every process of this user) can use it without asking anybody, so the prompt
// governs the helper only (docs/presence.md).
//
// New keys are kept under kTag. A key item in this format under the tag of earlier versions,
// values::keyTag, which a keyring key may hold instead, is found too.
//
// Encrypting needs only the public point, after the TPM showed it still loads the key.
// Decrypting has the TPM load the key (a key it no longer loads fails before anybody is asked),
// asks the person through `presence`, then has the TPM compute the ECDH product with the blob's
// ephemeral point (tpm/tpm_key_operations.h) and finishes the wrap algorithm in
// software.
//
// One object is used by one thread at a time. Every TPM handle is flushed before a call returns.
class TpmKeyStore final : public KeyStore {
  public:
    // The TPM of this machine, through the kernel's resource manager. Never the TCTI loader's
    // default search, which ends at a network simulator port that any local process could open.
    static constexpr const char* kDeviceTcti = "device:/dev/tpmrm0";
    // The tag of the key items this store makes.
    static constexpr std::string_view kTag = "com.quorvane.presence.tpm";

    // `items` and `presence` must outlive the store. `tcti` names the TPM (kDeviceTcti in
    // production). Opens nothing.
    TpmKeyStore(ItemStore& items, Presence& presence, std::string tcti);

    // find: the key for encryption when a readable TPM key item is kept; nullptr otherwise
    // (absent, another format, damaged, unreadable store). Talks to no TPM.
    std::unique_ptr<PresenceKey> find() override;
    // findForUse: raises PresenceUnavailable when no prompt can be offered (unless the request
    // was confirmed already); nullptr when no TPM key item is kept; KeyStoreError(Step::load) when
    // the store cannot be read or the TPM key item is damaged. Talks to no TPM; the returned key's
    // decrypt does.
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    // create: makes a key in the TPM and adds its item under kTag. Raises
    // KeyStoreError(Step::create) with the reason when the TPM cannot be used, the store fails,
    // or an item exists under kTag.
    std::unique_ptr<PresenceKey> create() override;
    // remove: deletes the items under kTag and values::keyTag, whatever their format. Raises
    // KeyStoreError(Step::remove).
    void remove() override;
    // canCreate: the TPM answers, and holds no key of this store or still loads it.
    bool canCreate() override;

    // unavailableReason: nothing when the TPM at `tcti` opens, answers and can make its storage
    // root key now; otherwise why not, in plain words (no device, no permission, no answer, no
    // libtss2, a TCTI of a form not accepted). Stores nothing; never raises.
    static std::optional<std::string> unavailableReason(const std::string& tcti);

  private:
    ItemStore& items_;
    Presence& presence_;
    std::string tcti_;
};

}  // namespace quorvane::platform
