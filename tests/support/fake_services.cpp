#include "support/fake_services.h"

#include "base/platform_error.h"
#include "platform/linux/ecies.h"
#include "platform/linux/p256.h"

namespace quorvane::testing {

using Step = platform::ItemStoreError::Step;

void FakeItemStore::check(Step step) const {
    if (failWith) throw platform::ItemStoreError(failAs.value_or(step), *failWith);
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

namespace {

class ScriptedKey final : public platform::PresenceKey {
  public:
    ScriptedKey(const ScriptedKeyStore& store, const platform::PromptRequest* request,
                platform::Presence& presence)
        : store_(store), presence_(presence) {
        if (request) request_ = *request;
    }

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        store_.fail(ScriptedKeyStore::Step::encrypt);
        return platform::ecies::encrypt(platform::p256::publicPoint(store_.scalar->span()),
                                        plaintext);
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        using Step = ScriptedKeyStore::Step;
        if (!request_) throw platform::KeyStoreError(Step::decrypt, "not found for use");
        store_.fail(Step::decrypt);
        platform::PresenceAnswer answer = presence_.confirm(*request_);
        if (!answer.passed) throw platform::KeyStoreError(Step::decrypt, answer.failure);
        try {
            return platform::ecies::decrypt(store_.scalar->span(), blob);
        } catch (const PlatformError& failure) {
            throw platform::KeyStoreError(Step::decrypt, failure.description());
        }
    }

  private:
    const ScriptedKeyStore& store_;
    platform::Presence& presence_;
    std::optional<platform::PromptRequest> request_;
};

}  // namespace

void ScriptedKeyStore::fail(Step step) const {
    if (failing == step) throw platform::KeyStoreError(step, failureDetail);
}

std::unique_ptr<platform::PresenceKey> ScriptedKeyStore::find() {
    ++finds;
    if (!scalar || failing == Step::load) return nullptr;
    return std::make_unique<ScriptedKey>(*this, nullptr, presence_);
}

std::unique_ptr<platform::PresenceKey> ScriptedKeyStore::findForUse(
    const platform::PromptRequest& request) {
    ++finds;
    if (auto reason = presence_.unavailableReason()) throw platform::PresenceUnavailable(*reason);
    fail(Step::load);
    if (!scalar) return nullptr;
    return std::make_unique<ScriptedKey>(*this, &request, presence_);
}

std::unique_ptr<platform::PresenceKey> ScriptedKeyStore::create() {
    ++creates;
    fail(Step::accessControl);
    fail(Step::create);
    scalar = platform::p256::generateScalar();
    return std::make_unique<ScriptedKey>(*this, nullptr, presence_);
}

void ScriptedKeyStore::remove() {
    ++removes;
    fail(Step::remove);
    scalar.reset();
}

}  // namespace quorvane::testing
