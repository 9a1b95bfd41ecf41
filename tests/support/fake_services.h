#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/item_store.h"
#include "platform/presence.h"

namespace quorvane::testing {

// FakeItemStore keeps items in memory. `failWith` makes every later operation raise an
// ItemStoreError with that detail (for "the store cannot be read" cases). Not thread-safe.
class FakeItemStore final : public platform::ItemStore {
  public:
    void storeSecret(const platform::SecretName& name,
                     std::span<const std::uint8_t> value) override;
    std::optional<SecretBytes> loadSecret(const platform::SecretName& name) override;
    void deleteSecret(const platform::SecretName& name) override;
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override;
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override;
    void deleteKeyItem(std::string_view tag) override;

    std::optional<std::string> failWith;
    std::map<std::pair<std::string, std::string>, SecretBytes> secrets;
    std::map<std::string, SecretBytes> keyItems;

  private:
    void check(platform::ItemStoreError::Step step) const;
};

// ScriptedPresence answers as a test sets it and counts the prompts it showed.
class ScriptedPresence final : public platform::Presence {
  public:
    std::optional<std::string> unavailableReason() override;
    platform::PresenceAnswer confirm(const platform::PromptRequest& request) override;

    std::optional<std::string> unavailable;  // set: presence cannot be offered, for this reason
    bool passes = true;                      // the person's answer
    int prompts = 0;
    std::string lastReason;
};

}  // namespace quorvane::testing
