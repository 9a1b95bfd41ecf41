#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/item_store.h"
#include "platform/presence.h"

namespace quorvane::testing {

// MemoryItemStore keeps key items in a map, for key-store tests that need no database. Named
// secrets are not kept (no key store uses them). `failLoads` makes every lookup raise.
class MemoryItemStore final : public platform::ItemStore {
  public:
    void storeSecret(const platform::SecretName&, std::span<const std::uint8_t>) override {}
    std::optional<SecretBytes> loadSecret(const platform::SecretName&) override {
        return std::nullopt;
    }
    void deleteSecret(const platform::SecretName&) override {}
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override {
        return keys.emplace(std::string(tag), Bytes(bytes.begin(), bytes.end())).second;
    }
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override {
        if (failLoads) throw platform::ItemStoreError(platform::ItemStoreError::Step::load, "-1");
        auto found = keys.find(std::string(tag));
        if (found == keys.end()) return std::nullopt;
        return SecretBytes::copyOf(found->second);
    }
    void deleteKeyItem(std::string_view tag) override { keys.erase(std::string(tag)); }

    std::map<std::string, Bytes> keys;
    bool failLoads = false;
};

// ScriptedPresence answers as told and counts the prompts it showed.
class ScriptedPresence final : public platform::Presence {
  public:
    std::optional<std::string> unavailableReason() override { return unavailable; }
    platform::PresenceAnswer confirm(const platform::PromptRequest&) override {
        if (unavailable) throw platform::PresenceUnavailable(*unavailable);
        ++prompts;
        return platform::PresenceAnswer{passes, passes ? "" : "user presence was not confirmed"};
    }

    std::optional<std::string> unavailable;
    bool passes = true;
    int prompts = 0;
};

}  // namespace quorvane::testing
