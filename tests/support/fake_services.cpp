#include "support/fake_services.h"

namespace quorvane::testing {

using Step = platform::ItemStoreError::Step;

void FakeItemStore::check(Step step) const {
    if (failWith) throw platform::ItemStoreError(step, *failWith);
}

void FakeItemStore::storeSecret(const platform::SecretName& name,
                                std::span<const std::uint8_t> value) {
    check(Step::create);
    secrets[{std::string(name.service), std::string(name.account)}] = SecretBytes::copyOf(value);
}

std::optional<SecretBytes> FakeItemStore::loadSecret(const platform::SecretName& name) {
    check(Step::load);
    auto found = secrets.find({std::string(name.service), std::string(name.account)});
    if (found == secrets.end()) return std::nullopt;
    return SecretBytes::copyOf(found->second.span());
}

void FakeItemStore::deleteSecret(const platform::SecretName& name) {
    check(Step::remove);
    secrets.erase({std::string(name.service), std::string(name.account)});
}

bool FakeItemStore::addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) {
    check(Step::create);
    return keyItems.try_emplace(std::string(tag), SecretBytes::copyOf(bytes)).second;
}

std::optional<SecretBytes> FakeItemStore::findKeyItem(std::string_view tag) {
    check(Step::load);
    auto found = keyItems.find(std::string(tag));
    if (found == keyItems.end()) return std::nullopt;
    return SecretBytes::copyOf(found->second.span());
}

void FakeItemStore::deleteKeyItem(std::string_view tag) {
    check(Step::remove);
    keyItems.erase(std::string(tag));
}

std::optional<std::string> ScriptedPresence::unavailableReason() { return unavailable; }

platform::PresenceAnswer ScriptedPresence::confirm(const platform::PromptRequest& request) {
    if (unavailable) throw platform::PresenceUnavailable(*unavailable);
    ++prompts;
    lastReason = std::string(request.reason);
    if (passes) return {true, {}};
    return {false, "user presence was not confirmed"};
}

}  // namespace quorvane::testing
