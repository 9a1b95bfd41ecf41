#pragma once

#include <string>
#include <utility>

#include "platform/item_store.h"

namespace quorvane::platform {

// UnusableItemStore stands for a place of secrets that is there but cannot be used now (a desktop
// keyring that does not answer). Every operation raises ItemStoreError with its own step and
// `reason` as the detail: a load never answers "missing", and nothing is written elsewhere, so a
// caller that retries later finds its secrets where it put them.
class UnusableItemStore final : public ItemStore {
  public:
    explicit UnusableItemStore(std::string reason) : reason_(std::move(reason)) {}

    void storeSecret(const SecretName&, std::span<const std::uint8_t>) override {
        fail(ItemStoreError::Step::create);
    }
    std::optional<SecretBytes> loadSecret(const SecretName&) override {
        fail(ItemStoreError::Step::load);
    }
    void deleteSecret(const SecretName&) override { fail(ItemStoreError::Step::remove); }
    bool addKeyItem(std::string_view, std::span<const std::uint8_t>) override {
        fail(ItemStoreError::Step::create);
    }
    std::optional<SecretBytes> findKeyItem(std::string_view) override {
        fail(ItemStoreError::Step::load);
    }
    void deleteKeyItem(std::string_view) override { fail(ItemStoreError::Step::remove); }

  private:
    [[noreturn]] void fail(ItemStoreError::Step step) const { throw ItemStoreError(step, reason_); }

    std::string reason_;
};

}  // namespace quorvane::platform
