#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/item_store.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::testing {

// FakeItemStore keeps items in memory. `failWith` makes every later operation raise an
// ItemStoreError with that detail (for "the store cannot be read" cases), with the operation's own
// step, or with `failAs` when set (a store that found an item it cannot give back, say). Not
// thread-safe.
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
    std::optional<platform::ItemStoreError::Step> failAs;
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

// ScriptedKeyStore keeps at most one presence key in memory: a real P-256 key, so blobs really
// seal and open. A key found for use asks `presence` before it decrypts, as every real store
// does. `failing` makes the named step raise KeyStoreError with `failureDetail`; `canCreateAnswer`
// is what canCreate says. Counts what it was asked. Not thread-safe.
class ScriptedKeyStore final : public platform::KeyStore {
  public:
    using Step = platform::KeyStoreError::Step;

    explicit ScriptedKeyStore(platform::Presence& presence) : presence_(presence) {}

    std::unique_ptr<platform::PresenceKey> find() override;
    std::unique_ptr<platform::PresenceKey> findForUse(
        const platform::PromptRequest& request) override;
    std::unique_ptr<platform::PresenceKey> create() override;
    void remove() override;
    bool canCreate() override { return canCreateAnswer; }

    // fail raises the scripted failure when `step` is the failing one.
    void fail(Step step) const;

    std::optional<Step> failing;
    std::string failureDetail;
    bool canCreateAnswer = true;
    std::optional<SecretBytes> scalar;  // the key's private half, while there is a key
    int finds = 0;
    int creates = 0;
    int removes = 0;

  private:
    platform::Presence& presence_;
};

}  // namespace quorvane::testing
