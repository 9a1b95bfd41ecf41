#pragma once

#include <memory>

#include "platform/item_store.h"

namespace quorvane::platform {

// MigratingItemStore is the item store of a machine that has a new place for secrets (`chosen`,
// the desktop keyring) and may still hold secrets in an earlier one (`earlier`, the file store).
// Nothing in either is ever lost, and every write moves the item into the chosen store:
//
// - load: the earlier store first. With no copy there, the chosen store's value. With one, the
//   newer of the two copies wins, by the time each store kept (whole seconds; a tie, or an earlier
//   copy of no known time, goes to the earlier copy, which exists only because it was written
//   while the chosen store could not be reached; the file store dates a copy of an earlier helper
//   by the last change of its file, so a keyring copy changed after that wins). The load then
//   settles it: an older earlier copy is deleted, a newer one is moved into the chosen store and
//   then deleted, so no plaintext copy outlives the keyring's return. A chosen store that cannot
//   be read (locked) leaves the earlier copy where it is and gives its value; one that fails in
//   the middle of the move leaves the earlier copy too, for the next operation. An error of the
//   earlier store is raised only when the chosen store has no value either.
// - store: write the chosen store, then delete the earlier copy. At every moment one of the two
//   holds the secret. If the write fails, nothing changed. If the delete fails, the store still
//   succeeds when loads now give the new value (its copy is the newer; the older one left behind
//   goes at the next operation that meets it); when they would not (both copies written within
//   one second, so the earlier still wins), the delete's error is raised and loads keep giving
//   the old value until a store succeeds. Success and failure thus always say which value the
//   secret has.
// - delete: the chosen store, then the earlier one; either failure is raised (a copy left behind
//   is still found, so the secret is visibly still there, never half-deleted).
// - key items: add refuses (returns false) when either store holds the tag, else adds to the
//   chosen store; find prefers the earlier store's item and moves it into the chosen store when
//   it can (add, then delete the earlier copy once the chosen store holds the same bytes; a
//   different key under the tag there keeps both); failures of that move leave the item where it
//   was and are not raised.
//
// Why secrets and key items both move on read: a secret stored while the keyring was out of
// reach must not wait, in plaintext, for the application's next save of it, which may never come;
// a load settles it as soon as the keyring answers. A key item is written once, when the key is
// made, and then only ever read: it moves the first time it is read, and only when the chosen
// store then holds exactly the same bytes is the earlier copy removed. Writes move secrets too.
//
// Errors are the wrapped stores' own. Thread safety: that of the wrapped stores.
class MigratingItemStore final : public ItemStore {
  public:
    MigratingItemStore(std::unique_ptr<ItemStore> chosen, std::unique_ptr<ItemStore> earlier);

    void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) override;
    std::optional<SecretBytes> loadSecret(const SecretName& name) override;
    void deleteSecret(const SecretName& name) override;
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override;
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override;
    void deleteKeyItem(std::string_view tag) override;

  private:
    std::unique_ptr<ItemStore> chosen_;
    std::unique_ptr<ItemStore> earlier_;
};

}  // namespace quorvane::platform
