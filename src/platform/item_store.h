#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/secret_bytes.h"
#include "platform/item_status.h"

namespace quorvane::platform {

// The name of a generic secret: the caller's service and account, used exactly as given (never
// trimmed or normalised), both non-empty.
struct SecretName {
    std::string_view service;
    std::string_view account;
};

// ItemStoreError is a failed item-store operation. `step` says which of the caller's steps
// failed, so the caller can name it in its own fixed message; `detail` is the backend's status in
// signed decimal or its plain-words description (never a secret, never a value), or empty when
// the backend has nothing to say.
class ItemStoreError : public std::exception {
  public:
    enum class Step {
        replace,  // replacing the value of an existing item
        create,   // creating a new item
        load,     // finding or reading an item
        damaged,  // an item was found but what it holds is not a value this store can give back
        remove,   // deleting an item
    };
    ItemStoreError(Step step, std::string detail) : step_(step), detail_(std::move(detail)) {}
    // A failure the backend numbered: the detail is the status in signed decimal.
    ItemStoreError(Step step, ItemStatus status) : ItemStoreError(step, statusText(status)) {}
    Step step() const noexcept { return step_; }
    const std::string& detail() const noexcept { return detail_; }
    const char* what() const noexcept override { return detail_.c_str(); }

  private:
    Step step_;
    std::string detail_;
};

// A secret's value with when it was last written, where the store keeps that: which of two copies
// of one secret is the newer one.
struct DatedSecret {
    SecretBytes value;
    // Seconds since the epoch; nothing when the store does not know.
    std::optional<std::int64_t> modifiedSeconds;
};

// ItemStore keeps the user's named secrets and the key items of the key stores, in the place
// the platform gives an application for secrets. No operation ever asks the person anything: a
// store that could only go on by showing a prompt fails instead.
//
// Every operation is atomic as other processes see it: a concurrent reader finds an item either
// as it was before a change or as it is after, never half-written, and a process killed in the
// middle of a change leaves the item as it was. Several helper processes may use one store at
// once. One object is used by one thread at a time.
class ItemStore {
  public:
    virtual ~ItemStore() = default;

    // storeSecret makes `name` hold exactly `value` (any bytes, at least one), replacing what it
    // held. Raises ItemStoreError with Step::replace or Step::create; the old value (or no item)
    // is kept on failure.
    virtual void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) = 0;

    // loadSecret returns the value of `name`, or nothing when there is no such secret. Raises
    // ItemStoreError (Step::load, or Step::damaged when the item holds no value); a store that
    // cannot be read (locked, unreachable) raises, never answers "nothing".
    virtual std::optional<SecretBytes> loadSecret(const SecretName& name) = 0;

    // loadDatedSecret is loadSecret with the time the value was written, for a store that keeps
    // one (this default keeps none). Raises as loadSecret.
    virtual std::optional<DatedSecret> loadDatedSecret(const SecretName& name) {
        std::optional<SecretBytes> value = loadSecret(name);
        if (!value) return std::nullopt;
        return DatedSecret{std::move(*value), std::nullopt};
    }

    // deleteSecret removes `name`; a missing secret is success. Raises ItemStoreError
    // (Step::remove).
    virtual void deleteSecret(const SecretName& name) = 0;

    // addKeyItem stores `bytes` as the key item `tag`. Returns false, changing nothing, when an
    // item with this tag exists already (so a key is never silently replaced). Raises
    // ItemStoreError (Step::create).
    virtual bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) = 0;

    // findKeyItem returns the bytes of the key item `tag`, or nothing when there is none. Raises
    // ItemStoreError (Step::load) when the store cannot be read.
    virtual std::optional<SecretBytes> findKeyItem(std::string_view tag) = 0;

    // deleteKeyItem removes the key item `tag`; a missing item is success. Raises
    // ItemStoreError (Step::remove).
    virtual void deleteKeyItem(std::string_view tag) = 0;
};

}  // namespace quorvane::platform
