#include "platform/key_ladder.h"

namespace quorvane::platform {

using Cause = KeyStoreError::Cause;

// LadderKey unwraps with the keys of several rungs: the strongest first, the next ones only when
// the ones before did not open the blob, each found for use when it is reached.
class KeyLadder::LadderKey final : public PresenceKey {
  public:
    LadderKey(std::unique_ptr<PresenceKey> first, std::vector<KeyStore*> others,
              const PromptRequest& request)
        : first_(std::move(first)), others_(std::move(others)), request_(request) {}

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        return first_->encrypt(plaintext);
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        PromptRequest request = request_;
        std::optional<KeyStoreError> unusable;
        std::optional<KeyStoreError> last;
        std::unique_ptr<PresenceKey> key = std::move(first_);
        std::size_t next = 0;
        for (;;) {
            try {
                if (key) return key->decrypt(blob);
            } catch (const KeyStoreError& failure) {
                if (failure.cause() == Cause::other) throw;
                // Another key may have made the blob. A person who confirmed at this key's
                // prompt is not asked again for the next.
                if (failure.cause() == Cause::notThisKey) request.confirmed = true;
                if (failure.cause() == Cause::keyUnusable && !unusable) unusable = failure;
                last = failure;
            }
            if (next == others_.size()) break;
            key = others_[next++]->findForUse(request);
        }
        // The blob most likely belongs to the key that could not be used: say why it could not.
        if (unusable) throw *unusable;
        if (last) throw *last;
        throw KeyStoreError(KeyStoreError::Step::decrypt, "the presence key is gone");
    }

  private:
    std::unique_ptr<PresenceKey> first_;
    std::vector<KeyStore*> others_;
    PromptRequest request_;
};

KeyLadder::KeyLadder(std::vector<KeyRung> rungs) {
    rungs_.reserve(rungs.size());
    for (KeyRung& rung : rungs) rungs_.push_back(Rung{std::move(rung), nullptr});
}

KeyStore* KeyLadder::store(Rung& rung) {
    if (!rung.store && rung.description.open) rung.store = rung.description.open();
    return rung.store.get();
}

KeyLadder::Rung* KeyLadder::answering(std::string* reasons) {
    for (Rung& rung : rungs_) {
        if (!rung.description.unavailable) continue;
        std::optional<std::string> reason = rung.description.unavailable();
        if (!reason) {
            try {
                if (store(rung) != nullptr) return &rung;
                reason = "it cannot be opened";
            } catch (const std::exception&) {
                reason = "it cannot be opened";
            }
        }
        if (reasons == nullptr) continue;
        if (!reasons->empty()) *reasons += "; ";
        *reasons += "no usable " + rung.description.name + " (" + *reason + ")";
    }
    return nullptr;
}

std::unique_ptr<PresenceKey> KeyLadder::find() {
    try {
        Rung* rung = answering(nullptr);
        return rung != nullptr ? rung->store->find() : nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<PresenceKey> KeyLadder::findForUse(const PromptRequest& request) {
    // Looking without a request first asks nobody, so presence is checked once, by the store
    // that holds the strongest key.
    std::vector<KeyStore*> holders;
    for (Rung& rung : rungs_) {
        try {
            KeyStore* keys = store(rung);
            if (keys != nullptr && keys->holdsKey()) holders.push_back(keys);
        } catch (const RungFailed& failure) {
            // The blob may well be for the failed rung's key: a weaker key would only prompt in
            // vain, and the reason would be lost.
            throw KeyStoreError(KeyStoreError::Step::load, failure.what());
        } catch (const std::exception&) {
        }
    }
    if (!holders.empty()) {
        std::unique_ptr<PresenceKey> first = holders.front()->findForUse(request);
        holders.erase(holders.begin());
        if (holders.empty()) return first;
        return std::make_unique<LadderKey>(std::move(first), std::move(holders), request);
    }
    for (Rung& rung : rungs_) {
        KeyStore* keys = store(rung);
        if (keys == nullptr) continue;
        if (std::unique_ptr<PresenceKey> key = keys->findForUse(request)) return key;
    }
    return nullptr;
}

std::unique_ptr<PresenceKey> KeyLadder::create() {
    std::string reasons;
    Rung* rung = nullptr;
    try {
        rung = answering(&reasons);
    } catch (const RungFailed& failure) {
        throw KeyStoreError(KeyStoreError::Step::create, failure.what());
    }
    if (rung != nullptr) return rung->store->create();
    if (reasons.empty()) reasons = "no key store can make one";
    throw KeyStoreError(KeyStoreError::Step::create,
                        "no presence key can be made here: " + reasons);
}

void KeyLadder::remove() {
    std::optional<KeyStoreError> first;
    for (Rung& rung : rungs_) {
        try {
            if (KeyStore* keys = store(rung)) keys->remove();
        } catch (const KeyStoreError& error) {
            if (!first) first = error;
        }
    }
    if (first) throw *first;
}

bool KeyLadder::canCreate() {
    try {
        Rung* rung = answering(nullptr);
        return rung != nullptr && rung->store->canCreate();
    } catch (const RungFailed& failure) {
        throw PresenceUnavailable(failure.what());
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace quorvane::platform
