#include "platform/migrating_item_store.h"

#include <exception>
#include <utility>

namespace quorvane::platform {

MigratingItemStore::MigratingItemStore(std::unique_ptr<ItemStore> chosen,
                                       std::unique_ptr<ItemStore> earlier)
    : chosen_(std::move(chosen)), earlier_(std::move(earlier)) {}

namespace {

// chosenIsNewer tells whether the chosen store's copy wins over the earlier store's. Times are
// compared in whole seconds, the keyring's own resolution; a tie, or a copy of no known time,
// goes to the earlier copy, which exists only because it was written while the chosen store
// could not be reached.
bool chosenIsNewer(const std::optional<DatedSecret>& chosen, const DatedSecret& earlier) {
    return chosen && chosen->modifiedSeconds && earlier.modifiedSeconds &&
           *chosen->modifiedSeconds > *earlier.modifiedSeconds;
}

}  // namespace

void MigratingItemStore::storeSecret(const SecretName& name, std::span<const std::uint8_t> value) {
    chosen_->storeSecret(name, value);
    try {
        earlier_->deleteSecret(name);
    } catch (const ItemStoreError&) {
        // The store has done what it was asked when loads now give the new value: the earlier
        // copy is older than the one just written (the next operation that meets it deletes it),
        // or the earlier store cannot be read at all. Otherwise (both written within one second)
        // the earlier copy still wins, so the store has failed and says so.
        const std::exception_ptr failure = std::current_exception();
        std::optional<DatedSecret> left;
        try {
            left = earlier_->loadDatedSecret(name);
        } catch (const ItemStoreError&) {
            return;
        }
        if (!left) return;
        bool newValueWins = false;
        try {
            newValueWins = chosenIsNewer(chosen_->loadDatedSecret(name), *left);
        } catch (const ItemStoreError&) {
            // Cannot be told now: the store reports the failure that left the old copy.
        }
        if (!newValueWins) std::rethrow_exception(failure);
    }
}

std::optional<SecretBytes> MigratingItemStore::loadSecret(const SecretName& name) {
    std::exception_ptr earlierFailure;
    std::optional<DatedSecret> earlier;
    try {
        earlier = earlier_->loadDatedSecret(name);
    } catch (const ItemStoreError&) {
        // A damaged or busy file store must not hide what the keyring holds.
        earlierFailure = std::current_exception();
    }
    if (!earlier) {
        std::optional<SecretBytes> value = chosen_->loadSecret(name);
        if (!value && earlierFailure) std::rethrow_exception(earlierFailure);
        return value;
    }
    std::optional<DatedSecret> chosen;
    try {
        chosen = chosen_->loadDatedSecret(name);
    } catch (const ItemStoreError&) {
        // A locked keyring: the earlier copy is what can be read now, and stays where it is. It
        // exists only because a store could not reach the keyring, and a later store that did
        // would have deleted it.
        return std::move(earlier->value);
    }
    // A copy of no known time cannot be placed against the keyring's: it is given, as it always
    // was, but moved nowhere, so it never overwrites a value rotated in the keyring since. (The
    // file store dates even its oldest copies, by the file's last change.)
    if (!earlier->modifiedSeconds) return std::move(earlier->value);
    if (chosenIsNewer(chosen, *earlier)) {
        try {
            earlier_->deleteSecret(name);
        } catch (const ItemStoreError&) {
            // Left for a later operation: the keyring's copy still wins then.
        }
        return std::move(chosen->value);
    }
    try {
        chosen_->storeSecret(name, earlier->value.span());
        earlier_->deleteSecret(name);
    } catch (const ItemStoreError&) {
        // The keyring went away in the middle of the move: the earlier copy stays, and the next
        // operation moves it.
    }
    return std::move(earlier->value);
}

void MigratingItemStore::deleteSecret(const SecretName& name) {
    chosen_->deleteSecret(name);
    earlier_->deleteSecret(name);
}

bool MigratingItemStore::addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) {
    if (earlier_->findKeyItem(tag)) return false;
    return chosen_->addKeyItem(tag, bytes);
}

std::optional<SecretBytes> MigratingItemStore::findKeyItem(std::string_view tag) {
    std::optional<SecretBytes> earlier = earlier_->findKeyItem(tag);
    if (!earlier) return chosen_->findKeyItem(tag);
    try {
        // The move: the key leaves the plain file for the keyring, and is in one of them at every
        // moment. When the chosen store has the tag already, the earlier copy goes only if it
        // is the same key (another helper moved it first): a different key there was made while
        // the earlier store could not see it, and both must stay, or blobs sealed to one of them
        // would no longer open.
        bool moved = chosen_->addKeyItem(tag, earlier->span());
        if (!moved) {
            std::optional<SecretBytes> there = chosen_->findKeyItem(tag);
            moved = there && constantTimeEqual(there->span(), earlier->span());
        }
        if (moved) earlier_->deleteKeyItem(tag);
    } catch (const ItemStoreError&) {
        // Locked or unreachable keyring: the key stays usable where it is; a later find moves it.
    }
    return earlier;
}

void MigratingItemStore::deleteKeyItem(std::string_view tag) {
    chosen_->deleteKeyItem(tag);
    earlier_->deleteKeyItem(tag);
}

}  // namespace quorvane::platform
